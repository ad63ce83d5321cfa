/* vkm470fapi: device access library of the VKM470 module.
 *
 * The caller owns a VKM470F_DEVICE record: it zeroes it, sets interfaceType and
 * passes its address first to every export. The library fills the other fields
 * and owns the objects they refer to. Every export returns 0 on success or one
 * of the negative status codes below (VKM470F_SearchDevices returns a count). */
#ifndef VKM470FAPI_H
#define VKM470FAPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VKM470F_CALL __stdcall
#else
#define VKM470F_CALL
#endif

#if defined(_WIN32)
#define VKM470F_EXPORT /* exported through the module definition file */
#elif defined(VKM470F_BUILDING)
#define VKM470F_EXPORT __attribute__((visibility("default")))
#else
#define VKM470F_EXPORT
#endif

#define VKM470F_API(type) VKM470F_EXPORT type VKM470F_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* Values of VKM470F_DEVICE.interfaceType. */
enum {
  VKM470F_INTERFACE_NONE = 0,
  VKM470F_INTERFACE_USB = 1,
  VKM470F_INTERFACE_LPT1 = 3,
  VKM470F_INTERFACE_LPT2 = 4,
  VKM470F_INTERFACE_LPT3 = 5
};

/* Status codes. */
enum {
  VKM470F_SUCCESS = 0,
  /* USB channel */
  VKM470F_ERR_INVALID_ARGUMENT = -1001, /* null name buffer, empty path, empty long transfer */
  VKM470F_ERR_OPEN_FAILED = -1002,      /* the device path could not be opened */
  VKM470F_ERR_CLOSE_FAILED = -1003,     /* closing the device handle failed */
  VKM470F_ERR_NOT_OPEN = -1004,         /* the channel has no open device */
  VKM470F_ERR_CANCEL_FAILED = -1005,    /* cancelling pending I/O failed */
  VKM470F_ERR_TIMEOUT = -1006,          /* transfer timed out; its I/O was cancelled */
  VKM470F_ERR_RESULT_FAILED = -1007,    /* overlapped result could not be collected */
  VKM470F_ERR_LENGTH_MISMATCH = -1008,  /* bytes transferred differ from bytes requested */
  VKM470F_ERR_REQUEST_REJECTED = -1009, /* the driver rejected the request at once */
  /* bulk FIFO */
  VKM470F_ERR_READER_STOPPED = -1010, /* reader worker not running during a stream read */
  VKM470F_ERR_WRITER_STOPPED = -1011, /* writer worker not running during a stream write */
  /* USB channel */
  VKM470F_ERR_MUTEX_FAILED = -1012, /* the transfer's mutex could not be acquired */
  /* library, parallel port, FIFO */
  VKM470F_ERR_NO_OBJECT = -2001,     /* record lacks the object needed, or argument out of range */
  VKM470F_ERR_CABLE_OPEN = -2002,    /* the parallel-port cable could not be opened */
  VKM470F_ERR_FLASH_FAILED = -2003,  /* flash operation over the parallel port failed */
  VKM470F_ERR_NOT_AVAILABLE = -2004, /* operation not available for this interfaceType */
  VKM470F_ERR_WORKER_STOPPED = -2005 /* worker of the queried direction not running */
};

/* A short English text for a status code, for messages; "unknown status" for
 * a code outside the table. A header function, not an export: the export table
 * stays as it is. One case a line, so that other languages can read the table. */
static inline const char* VKM470F_StatusText(int32_t status) {
  switch (status) {
    case VKM470F_SUCCESS: return "success";
    case VKM470F_ERR_INVALID_ARGUMENT: return "invalid argument";
    case VKM470F_ERR_OPEN_FAILED: return "device could not be opened";
    case VKM470F_ERR_CLOSE_FAILED: return "device could not be closed";
    case VKM470F_ERR_NOT_OPEN: return "device not open";
    case VKM470F_ERR_CANCEL_FAILED: return "pending transfer could not be cancelled";
    case VKM470F_ERR_TIMEOUT: return "transfer timed out";
    case VKM470F_ERR_RESULT_FAILED: return "transfer failed";
    case VKM470F_ERR_LENGTH_MISMATCH: return "transfer moved fewer bytes than requested";
    case VKM470F_ERR_REQUEST_REJECTED: return "request refused by the driver";
    case VKM470F_ERR_READER_STOPPED: return "stream reader stopped";
    case VKM470F_ERR_WRITER_STOPPED: return "stream writer stopped";
    case VKM470F_ERR_MUTEX_FAILED: return "transfer lock could not be taken";
    case VKM470F_ERR_NO_OBJECT: return "not open, or argument out of range";
    case VKM470F_ERR_CABLE_OPEN: return "download cable could not be opened";
    case VKM470F_ERR_FLASH_FAILED: return "flash operation failed";
    case VKM470F_ERR_NOT_AVAILABLE: return "not available on this interface";
    case VKM470F_ERR_WORKER_STOPPED: return "stream worker not running";
    default: return "unknown status";
  }
}

/* The caller-owned device record. The three object fields are owned by the
 * library (a USB channel, a parallel-port cable, a bulk FIFO); the caller only
 * zeroes them. Layout: three pointers, then two int32, no gaps. */
typedef struct VKM470F_DEVICE {
  void* channel;
  void* cable;
  void* bulkFifo;
  int32_t interfaceType;
  int32_t applicationRunning;
} VKM470F_DEVICE;

/* The 8-byte control request sent with every USB control transfer. */
typedef struct QUSB_REQUEST {
  uint16_t direction; /* 0: host to module (or no data), 1: module to host */
  uint16_t request;
  uint16_t value;
  uint16_t index;
} QUSB_REQUEST;

#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(offsetof(VKM470F_DEVICE, channel) == 0, "record layout");
static_assert(offsetof(VKM470F_DEVICE, cable) == sizeof(void*), "record layout");
static_assert(offsetof(VKM470F_DEVICE, bulkFifo) == 2 * sizeof(void*), "record layout");
static_assert(offsetof(VKM470F_DEVICE, interfaceType) == 3 * sizeof(void*), "record layout");
static_assert(offsetof(VKM470F_DEVICE, applicationRunning) == 3 * sizeof(void*) + 4,
              "record layout");
static_assert(sizeof(void*) != 4 || sizeof(VKM470F_DEVICE) == 20, "20 bytes on 32-bit");
static_assert(sizeof(QUSB_REQUEST) == 8, "request record is 8 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(offsetof(VKM470F_DEVICE, applicationRunning) == 3 * sizeof(void*) + 4,
               "record layout");
_Static_assert(sizeof(QUSB_REQUEST) == 8, "request record is 8 bytes");
#endif

/* The 25 exports, in the order of the export table. */
VKM470F_API(int32_t) VKM470F_CallApplication(VKM470F_DEVICE* dev, uint16_t startAddress);
VKM470F_API(int32_t) VKM470F_CloseDevice(VKM470F_DEVICE* dev);
VKM470F_API(int32_t) VKM470F_CloseFullDevice(VKM470F_DEVICE* dev);
VKM470F_API(int32_t)
VKM470F_CreateBulkFIFO(VKM470F_DEVICE* dev, uint32_t readFifoSize, uint32_t writeFifoSize,
                       uint32_t readBlockCount, uint32_t writeBlockCount, uint32_t readBlockSize,
                       uint32_t writeBlockSize);
VKM470F_API(int32_t)
VKM470F_DSP_Read_Command(VKM470F_DEVICE* dev, uint16_t value, uint16_t index, uint8_t* buffer,
                         uint32_t length, uint32_t timeout);
VKM470F_API(int32_t)
VKM470F_DSP_Write_Command(VKM470F_DEVICE* dev, uint16_t value, uint16_t index,
                          const uint8_t* buffer, uint32_t length, uint32_t timeout);
VKM470F_API(int32_t) VKM470F_DisposeBulkFIFO(VKM470F_DEVICE* dev);
VKM470F_API(int32_t) VKM470F_FlushBulkFIFO(VKM470F_DEVICE* dev);
VKM470F_API(int32_t) VKM470F_GetBulkFIFOReadReady(VKM470F_DEVICE* dev, uint32_t* wordsReady);
VKM470F_API(int32_t) VKM470F_GetBulkFIFOWriteFree(VKM470F_DEVICE* dev, uint32_t* wordsFree);
VKM470F_API(int32_t) VKM470F_GetDeviceDescr(VKM470F_DEVICE* dev, uint8_t* descriptor208);
VKM470F_API(int32_t) VKM470F_GetDeviceName(VKM470F_DEVICE* dev, char* name, uint16_t length);
VKM470F_API(int32_t) VKM470F_OpenDevice(VKM470F_DEVICE* dev, uint8_t deviceNumber);
VKM470F_API(int32_t)
VKM470F_ProgrammDSPFlash(VKM470F_DEVICE* dev, uint32_t address, const uint8_t* data,
                         uint32_t length, uint32_t timeout);
VKM470F_API(int32_t)
VKM470F_ReadBulkFIFO(VKM470F_DEVICE* dev, uint16_t* buffer, uint32_t wordCount,
                     uint32_t* wordsRead, uint32_t timeout);
VKM470F_API(int32_t)
VKM470F_ReadDSPFlash(VKM470F_DEVICE* dev, uint32_t address, uint8_t* data, uint32_t length,
                     uint32_t timeout);
VKM470F_API(int32_t) VKM470F_ResetDSP(VKM470F_DEVICE* dev);
VKM470F_API(int32_t) VKM470F_SearchDevices(VKM470F_DEVICE* dev, int16_t* list, int32_t count);
VKM470F_API(int32_t)
VKM470F_SimpleControlQDevice(VKM470F_DEVICE* dev, QUSB_REQUEST* request, uint8_t* buffer,
                             uint32_t length, uint32_t timeout);
VKM470F_API(int32_t)
VKM470F_SimpleReadBulk(VKM470F_DEVICE* dev, uint8_t* buffer, uint32_t length,
                       uint32_t* bytesRead, uint32_t timeout);
VKM470F_API(int32_t)
VKM470F_SimpleWriteBulk(VKM470F_DEVICE* dev, const uint8_t* buffer, uint32_t length,
                        uint32_t* bytesWritten, uint32_t timeout);
VKM470F_API(int32_t)
VKM470F_SpecialDSPFlashCommand(VKM470F_DEVICE* dev, uint32_t command, uint8_t* data,
                               uint32_t length);
VKM470F_API(int32_t) VKM470F_StartBulkFIFO(VKM470F_DEVICE* dev);
VKM470F_API(int32_t) VKM470F_StopBulkFIFO(VKM470F_DEVICE* dev);
VKM470F_API(int32_t)
VKM470F_WriteBulkFIFO(VKM470F_DEVICE* dev, const uint16_t* buffer, uint32_t wordCount,
                      uint32_t* wordsWritten, uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* VKM470FAPI_H */
