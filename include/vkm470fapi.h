// SPDX-License-Identifier: MIT
/** @file vkm470fapi.h
 * The device access library of the VKM470 module: its record, its status
 * codes and its 25 exports. C (C99 and later) and C++ (C++11 and later).
 *
 * A VKM470 is reached over USB or through the download cable on a parallel
 * port (LPT1 to LPT3). The caller owns a VKM470F_DEVICE record: it zeroes it,
 * sets interfaceType, and passes its address first to every export. The
 * library fills the other fields and owns the objects they refer to.
 *
 * Every export returns VKM470F_SUCCESS (0) or one of the negative status codes
 * below; VKM470F_SearchDevices returns a count on success. Each export tests
 * the record's interfaceType before anything else: an export that does not
 * serve that interface returns VKM470F_ERR_NOT_AVAILABLE without looking at
 * its other arguments. A null record gives VKM470F_ERR_NO_OBJECT (but see
 * VKM470F_CloseFullDevice). No call retries anything.
 *
 * Usual order: zero the record, set interfaceType, VKM470F_OpenDevice, the
 * work, VKM470F_CloseDevice (or VKM470F_CloseFullDevice).
 *
 * Time-outs are in milliseconds. A USB request waits for its completion at
 * most that long, then is cancelled and waited for, so that the caller's
 * buffer is free again when the export returns; 0 waits not at all, and
 * 0xFFFFFFFF waits without end. The parallel-port path ignores the time-out
 * arguments: its own waits are fixed (a chip that stays busy fails after 5 s).
 *
 * Threads: nothing locks the record. Calls that open, close, or create,
 * dispose, start, stop or flush the bulk FIFO change the record and must not
 * overlap any other call on it. On an open USB record, control requests (DSP,
 * flash, name, descriptor, reset and own requests), bulk writes and bulk reads
 * are each serialised by a lock of their own, so several threads may issue
 * them; but the steps that switch the module's program (see applicationRunning)
 * are not atomic with the request that follows, so threads that need different
 * programs may switch it under each other. Calls on a parallel-port record must
 * not overlap. Different records are independent. On Linux the environment
 * (VKM470_DEVICES, VKM470_USB_IDS) is read when a device is opened: do not
 * change it while another thread may open one. */
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

/** Values of VKM470F_DEVICE.interfaceType. Every other value (0, 2, 6 and up)
 * selects no interface: the exports refuse it with VKM470F_ERR_NOT_AVAILABLE,
 * and only the close exports act on such a record. */
enum {
  VKM470F_INTERFACE_NONE = 0,
  VKM470F_INTERFACE_USB = 1,  /**< the module's USB side, "\\.\QDev<n>" */
  VKM470F_INTERFACE_LPT1 = 3, /**< the download cable on parallel port 1, "\\.\ALTLPT1" */
  VKM470F_INTERFACE_LPT2 = 4, /**< ... on parallel port 2 */
  VKM470F_INTERFACE_LPT3 = 5  /**< ... on parallel port 3 */
};

/** Status codes, the result of every export. -1001 to -1012 come from the USB
 * channel and the bulk FIFO and are passed on unchanged; -2001 to -2005 from
 * the exports themselves, the parallel-port path and the bulk FIFO. */
enum {
  VKM470F_SUCCESS = 0, /**< the call did what it was asked */
  /* USB channel */
  /** An argument of a channel operation is invalid: no name buffer. */
  VKM470F_ERR_INVALID_ARGUMENT = -1001,
  /** The device could not be opened: no such device, or another program (or
   * another record) holds it: the library opens devices exclusively. */
  VKM470F_ERR_OPEN_FAILED = -1002,
  /** Closing the device handle failed; the record is released all the same. */
  VKM470F_ERR_CLOSE_FAILED = -1003,
  /** The channel has no open device. */
  VKM470F_ERR_NOT_OPEN = -1004,
  /** Cancelling pending requests failed. */
  VKM470F_ERR_CANCEL_FAILED = -1005,
  /** The request did not complete within its time-out; it was cancelled and
   * had ended when the export returned. */
  VKM470F_ERR_TIMEOUT = -1006,
  /** The request's result could not be collected: it failed after it had
   * started, or it was cancelled at its time-out and ended without a result
   * (the usual outcome of a time-out), or the module is gone. */
  VKM470F_ERR_RESULT_FAILED = -1007,
  /** The request moved fewer (or other) bytes than asked: a short answer to a
   * control request, or a bulk transfer that ended early, time-outs included.
   * The count arguments of the bulk exports hold the bytes actually moved. */
  VKM470F_ERR_LENGTH_MISMATCH = -1008,
  /** The driver refused the request at once (the module is gone, or the
   * request is not one it takes). */
  VKM470F_ERR_REQUEST_REJECTED = -1009,
  /* bulk FIFO */
  /** The bulk FIFO's reader is not running and the read FIFO is empty. */
  VKM470F_ERR_READER_STOPPED = -1010,
  /** The bulk FIFO's writer is not running and the write FIFO is full. */
  VKM470F_ERR_WRITER_STOPPED = -1011,
  /* USB channel */
  /** The channel's lock for this kind of transfer could not be taken. */
  VKM470F_ERR_MUTEX_FAILED = -1012,
  /* library, parallel port, FIFO */
  /** The record lacks the object the call needs (not open; no bulk FIFO), an
   * argument is missing or out of range, or memory ran out. */
  VKM470F_ERR_NO_OBJECT = -2001,
  /** The download cable could not be opened: no such port, no cable on it,
   * no access to it, or another program holds it. */
  VKM470F_ERR_CABLE_OPEN = -2002,
  /** A flash operation over the parallel port failed (the chip did not get
   * ready, the cable stopped answering); also a bulk FIFO read refused while
   * its reader runs (another thread reading at once). */
  VKM470F_ERR_FLASH_FAILED = -2003,
  /** The export does not serve the record's interfaceType, or the parallel
   * port does not know the special command; also a bulk FIFO write refused
   * while its writer runs (another thread writing at once). */
  VKM470F_ERR_NOT_AVAILABLE = -2004,
  /** The bulk FIFO's worker of the direction asked about is not running. */
  VKM470F_ERR_WORKER_STOPPED = -2005
};

/** A short English text for a status code, for messages: one text per code,
 * and "unknown status" for a value outside the table. A header function, not
 * an export: the export table stays as it is. One case a line, so that other
 * languages can read the table from this header. Any thread. */
/* clang-format off */
static inline const char* VKM470F_StatusText(int32_t status) {
  switch (status) {
    case VKM470F_SUCCESS: return "success";
    case VKM470F_ERR_INVALID_ARGUMENT: return "invalid argument to the USB channel";
    case VKM470F_ERR_OPEN_FAILED: return "device could not be opened";
    case VKM470F_ERR_CLOSE_FAILED: return "device could not be closed";
    case VKM470F_ERR_NOT_OPEN: return "device not open";
    case VKM470F_ERR_CANCEL_FAILED: return "pending transfer could not be cancelled";
    case VKM470F_ERR_TIMEOUT: return "transfer timed out";
    case VKM470F_ERR_RESULT_FAILED: return "transfer failed or timed out without a result";
    case VKM470F_ERR_LENGTH_MISMATCH: return "transfer moved fewer bytes than requested";
    case VKM470F_ERR_REQUEST_REJECTED: return "request refused by the driver";
    case VKM470F_ERR_READER_STOPPED: return "stream reader stopped";
    case VKM470F_ERR_WRITER_STOPPED: return "stream writer stopped";
    case VKM470F_ERR_MUTEX_FAILED: return "transfer lock could not be taken";
    case VKM470F_ERR_NO_OBJECT: return "not open, or argument missing or out of range";
    case VKM470F_ERR_CABLE_OPEN: return "download cable could not be opened";
    case VKM470F_ERR_FLASH_FAILED: return "flash operation failed";
    case VKM470F_ERR_NOT_AVAILABLE: return "not available on this interface";
    case VKM470F_ERR_WORKER_STOPPED: return "stream worker not running";
    default: return "unknown status";
  }
}
/* clang-format on */

/** The two special flash commands, the command argument of
 * VKM470F_SpecialDSPFlashCommand. Over the parallel port the library carries
 * them out; over USB the module's firmware does. */
enum {
  /** Switches the flash to 512-byte pages, for good; no data. */
  VKM470F_SPECIAL_BINARY_PAGES = 1,
  /** Fills the 8-byte flash information block: status, protection, lockdown
   * and security bytes, then the 4-byte manufacturer and device ID. */
  VKM470F_SPECIAL_FLASH_INFORMATION = 2
};

/** The device record. The caller allocates it (anywhere: the library keeps no
 * pointer to it between calls), zeroes every field, sets interfaceType, and
 * then leaves the other fields to the library. The three object fields refer
 * to objects the library creates and frees in its open and close calls; the
 * caller must not touch them, nor free or copy a record that holds one. A
 * record must be closed before it goes away, or its objects (and a USB
 * module's exclusive hold) leak. Layout: three pointers, then two int32, no
 * gaps (20 bytes on 32-bit Windows). */
typedef struct VKM470F_DEVICE {
  void* channel;  /**< the open USB channel, or null; owned by the library */
  void* cable;    /**< the open download cable, or null; owned by the library */
  void* bulkFifo; /**< the USB side's bulk FIFO, or null; owned by the library */
  /** Set by the caller before VKM470F_OpenDevice: one of VKM470F_INTERFACE_*.
   * The parallel port is interfaceType - 2. */
  int32_t interfaceType;
  /** USB: 1 after the library started the module's application (start
   * address 0), 0 after it started the program at 0x3C00, and 0 after every
   * open and close until the application is started. Requests that need the
   * application start it first; the name and descriptor requests start the
   * program at 0x3C00 first. The library does not ask the module: it
   * remembers what it last started. */
  int32_t applicationRunning;
} VKM470F_DEVICE;

/** The 8-byte request of a USB control transfer, sent as the setup packet of
 * a vendor request to the device: request, value and index as given, the data
 * stage's length from the call. */
typedef struct QUSB_REQUEST {
  uint16_t direction; /**< 0: host to module (or no data), 1: module to host */
  uint16_t request;   /**< the request code */
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

/* The 25 exports, in the order of the export table. Unless an export says
 * otherwise: a null record gives VKM470F_ERR_NO_OBJECT; "USB only" means that
 * every interfaceType but VKM470F_INTERFACE_USB gives VKM470F_ERR_NOT_AVAILABLE
 * first; a USB record without an open channel gives VKM470F_ERR_NO_OBJECT; a
 * buffer pointer may be null only when its length is 0 (else
 * VKM470F_ERR_NO_OBJECT, nothing sent); buffers are the caller's and are only
 * read or filled during the call.
 *
 * "A USB request fails" stands for the channel's codes: VKM470F_ERR_TIMEOUT or
 * VKM470F_ERR_RESULT_FAILED (no completion within the time-out, or a failed
 * one), VKM470F_ERR_LENGTH_MISMATCH (a short answer),
 * VKM470F_ERR_REQUEST_REJECTED (refused at once), VKM470F_ERR_NOT_OPEN,
 * VKM470F_ERR_MUTEX_FAILED. "Starts the application" means: when
 * applicationRunning is 0, a call-application request (0x0F, start address 0,
 * 1000 ms) goes first, and its failure ends the call with its code. */

/** Starts a program in the module by its 16-bit start address: 0 is the
 * application, 0x3C00 the program that answers the name and descriptor.
 * Request 0x0F, 1000 ms. USB only. Starting what applicationRunning says
 * already runs (0 when it is 1, 0x3C00 when it is 0) sends nothing and
 * returns 0, even on a record that is not open; any other address is sent on
 * every call and leaves applicationRunning at 0.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open); a failed USB request's code,
 * applicationRunning unchanged. */
VKM470F_API(int32_t) VKM470F_CallApplication(VKM470F_DEVICE* dev, uint16_t startAddress);

/** Closes the side of the record that interfaceType names.
 * USB: destroys the bulk FIFO (its workers stopped and waited for), closes the
 * device and frees the channel; applicationRunning becomes 0. Returns 0,
 * VKM470F_ERR_CLOSE_FAILED (released all the same), or VKM470F_ERR_NO_OBJECT
 * when the record holds no channel (a second close).
 * LPT1-3: releases the cable that VKM470F_OpenDevice left open. Returns 0, or
 * VKM470F_ERR_NO_OBJECT when there is none: every flash, special or reset
 * call already released it.
 * Any other interfaceType: releases both sides, whatever they hold; 0.
 * Must not overlap any other call on the record. */
VKM470F_API(int32_t) VKM470F_CloseDevice(VKM470F_DEVICE* dev);

/** Releases everything the record holds, USB channel (with its bulk FIFO) and
 * cable, whatever interfaceType says. A null record is accepted. Always 0.
 * The close to use when a record may hold both kinds, or when its
 * interfaceType was changed while open. Must not overlap any other call on
 * the record. */
VKM470F_API(int32_t) VKM470F_CloseFullDevice(VKM470F_DEVICE* dev);

/** Creates the record's bulk FIFO for streaming 16-bit words over the module's
 * bulk endpoints, not started. USB only. Sizes in BYTES (the read and write
 * exports count words): each FIFO holds its size, or one block if that is
 * more; each direction keeps its block count of transfers in flight. A read
 * block is rounded down to a multiple of 512 bytes; a write block is used as
 * given and carries multiples of 512 bytes. Starts the application first. An
 * existing bulk FIFO is stopped and destroyed (without the stream request)
 * once the new one is built; words it held are lost.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open; a block count of 0 or above
 * 2^31 - 1; a block size below 512; the memory cannot be had: then the old
 * FIFO stays); a failed start of the application.
 * Must not overlap any other call on the record. */
VKM470F_API(int32_t)
VKM470F_CreateBulkFIFO(VKM470F_DEVICE* dev, uint32_t readFifoSize, uint32_t writeFifoSize,
                       uint32_t readBlockCount, uint32_t writeBlockCount, uint32_t readBlockSize,
                       uint32_t writeBlockSize);

/** Reads length bytes from the module's DSP: request 0x05, direction 1, with
 * the caller's value and index (the DSP firmware gives them their meaning),
 * waiting timeout ms. length is even and at most 4096; 0 sends the request
 * without data. The module must answer with exactly length bytes. USB only;
 * starts the application first.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, odd length, length above 4096,
 * no buffer), nothing sent; a failed USB request's code. */
VKM470F_API(int32_t)
VKM470F_DSP_Read_Command(VKM470F_DEVICE* dev, uint16_t value, uint16_t index, uint8_t* buffer,
                         uint32_t length, uint32_t timeout);

/** Sends length bytes to the module's DSP: request 0x05, direction 0, as
 * VKM470F_DSP_Read_Command does; same rules and codes. */
VKM470F_API(int32_t)
VKM470F_DSP_Write_Command(VKM470F_DEVICE* dev, uint16_t value, uint16_t index,
                          const uint8_t* buffer, uint32_t length, uint32_t timeout);

/** Destroys the record's bulk FIFO: stops its workers, waits for them, frees
 * it. No request goes to the module. USB only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, or no bulk FIFO).
 * Must not overlap any other call on the record. */
VKM470F_API(int32_t) VKM470F_DisposeBulkFIFO(VKM470F_DEVICE* dev);

/** Empties both FIFOs of the bulk FIFO, restarting each worker that runs
 * (data of the transfers then in flight is lost); a worker that does not run
 * is not started. No request goes to the module. USB only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, or no bulk FIFO).
 * Must not overlap any other call on the record. */
VKM470F_API(int32_t) VKM470F_FlushBulkFIFO(VKM470F_DEVICE* dev);

/** Stores in *wordsReady the 16-bit words waiting in the read FIFO (its bytes
 * halved, rounded down). USB only. Any thread, while the bulk FIFO exists.
 * Returns 0; VKM470F_ERR_WORKER_STOPPED when the reader does not run (the
 * count is stored all the same); VKM470F_ERR_NO_OBJECT (not open, no bulk
 * FIFO, wordsReady null). */
VKM470F_API(int32_t) VKM470F_GetBulkFIFOReadReady(VKM470F_DEVICE* dev, uint32_t* wordsReady);

/** Stores in *wordsFree the 16-bit words the write FIFO has room for; as
 * VKM470F_GetBulkFIFOReadReady, for the writer. */
VKM470F_API(int32_t) VKM470F_GetBulkFIFOWriteFree(VKM470F_DEVICE* dev, uint32_t* wordsFree);

/** Fills descriptor208 (208 bytes, zeroed first) with the module's
 * descriptor: request 0x0E, value 0x2FF0, index 0x8300, 2000 ms. Starts the
 * program at 0x3C00 first (request 0x0F) when applicationRunning is 1. USB
 * only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, no buffer); a failed USB
 * request's code (VKM470F_ERR_LENGTH_MISMATCH for fewer than 208 bytes). */
VKM470F_API(int32_t) VKM470F_GetDeviceDescr(VKM470F_DEVICE* dev, uint8_t* descriptor208);

/** Reads the module's name into name: the buffer's length bytes are zeroed,
 * then request 0x0B asks for exactly length bytes, 200 ms. A VKM470 answers
 * "VKM470" and a zero byte first (8 bytes hold it). The library adds no
 * terminator: the text ends at the module's zero byte. Starts the program at
 * 0x3C00 first when applicationRunning is 1. USB only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open; name null with a length);
 * VKM470F_ERR_INVALID_ARGUMENT (name null, length 0); a failed USB request's
 * code. */
VKM470F_API(int32_t) VKM470F_GetDeviceName(VKM470F_DEVICE* dev, char* name, uint16_t length);

/** Opens the module.
 * USB: closes what the record's USB side holds (its bulk FIFO included),
 * opens "\\.\QDev<deviceNumber>" exclusively, reads the module's name (16
 * bytes, 200 ms; not used) and starts the application. A failure to start it
 * is not reported: applicationRunning stays 0 and the next call that needs
 * the application starts it. Returns 0, or VKM470F_ERR_OPEN_FAILED when the
 * device is absent or held by another program or record (channel null).
 * LPT1-3: opens the cable on the record's port (deviceNumber is not used),
 * releasing a cable the record held, and leaves it open until the next call.
 * Returns 0, or VKM470F_ERR_CABLE_OPEN.
 * When the device itself cannot be opened, the calling thread's system error
 * says why: GetLastError() on Windows (2 absent, 32 held by another program or
 * record, 5 access denied), errno elsewhere (ENOENT, EBUSY, EACCES; EIO for
 * any other reason). A port whose cable is missing opens but answers no
 * cable, and leaves no such reason.
 * Other interfaceType: VKM470F_ERR_NOT_AVAILABLE.
 * Also VKM470F_ERR_NO_OBJECT when memory runs out. Must not overlap any other
 * call on the record. */
VKM470F_API(int32_t) VKM470F_OpenDevice(VKM470F_DEVICE* dev, uint8_t deviceNumber);

/** Writes length bytes from data into the module's flash at the byte address
 * address (2 MiB DataFlash; see the burner's manual page for its areas).
 * USB: starts the application, then sends the data as flash-write requests
 * (0x09: value = address bits 15..0, index = bits 31..16) of at most 4096
 * bytes each, each waiting timeout ms; the module's firmware writes them. A
 * failure stops at its piece: the pieces before it are written. Returns 0;
 * VKM470F_ERR_NO_OBJECT (not open, data null with a length); a failed USB
 * request's code.
 * LPT1-3: opens the cable, programs the flash page by page through the chip's
 * buffer 1 (a page written in part keeps its other bytes), waiting for the
 * chip after each page, and closes the cable; timeout is not used. Addresses
 * count 512-byte pages (page address / 512, offset address % 512), the chip's
 * page size after special command 1; the top byte of the address is dropped.
 * Returns 0; VKM470F_ERR_CABLE_OPEN; VKM470F_ERR_FLASH_FAILED (the chip did
 * not get ready within 5 s, or the cable stopped answering: the pages before
 * are written); VKM470F_ERR_NO_OBJECT (data null with a length).
 * Other interfaceType: VKM470F_ERR_NOT_AVAILABLE. A length of 0 writes
 * nothing and returns 0. */
VKM470F_API(int32_t)
VKM470F_ProgrammDSPFlash(VKM470F_DEVICE* dev, uint32_t address, const uint8_t* data,
                         uint32_t length, uint32_t timeout);

/** Takes up to wordCount 16-bit words from the read FIFO into buffer, waiting
 * for more until timeout ms have passed since the call began; *wordsRead
 * counts the words taken, on failure too. A time-out is not an error: 0 with
 * fewer words. A timeout of 0 returns at once without taking anything, even
 * when words are ready; 0xFFFFFFFF waits without end. (The original library
 * computed a deadline that wrapped at 2^32 and so returned at once for
 * 0xFFFFFFFF; this one measures the time elapsed.) While nothing is ready it
 * sleeps until words come in, the reader stops or the time is up, without
 * polling. A lone odd byte that came in is taken but not counted.
 * USB only. One thread at a time may read a record's FIFO.
 * Returns 0; VKM470F_ERR_READER_STOPPED at once when the read FIFO is empty
 * and the reader does not run (not started, stopped, or a failed transfer
 * stopped it); VKM470F_ERR_FLASH_FAILED when another thread took the words;
 * VKM470F_ERR_NO_OBJECT (not open, no bulk FIFO, wordsRead null, buffer null
 * with a count, count above 2^31 - 1). */
VKM470F_API(int32_t)
VKM470F_ReadBulkFIFO(VKM470F_DEVICE* dev, uint16_t* buffer, uint32_t wordCount, uint32_t* wordsRead,
                     uint32_t timeout);

/** Reads length bytes of the module's flash at the byte address address into
 * data; the mirror of VKM470F_ProgrammDSPFlash, with flash-read requests
 * (0x0A) over USB and the chip's continuous read over the parallel port, with
 * the same codes. Over the parallel port the read first waits for the chip to
 * be ready, as a write does after each page: a busy chip ignores a read, and
 * what came back would look erased. VKM470F_ERR_FLASH_FAILED there: the chip
 * did not get ready within 5 s (nothing is read), or the cable stopped
 * answering. */
VKM470F_API(int32_t)
VKM470F_ReadDSPFlash(VKM470F_DEVICE* dev, uint32_t address, uint8_t* data, uint32_t length,
                     uint32_t timeout);

/** Resets the module's DSP.
 * USB: starts the application, then request 0x0C, 1000 ms; applicationRunning
 * stays 1. Returns 0, VKM470F_ERR_NO_OBJECT (not open), or a failed USB
 * request's code.
 * LPT1-3: opens the cable, holds the select line low for 110 ms, closes the
 * cable. Returns 0 or VKM470F_ERR_CABLE_OPEN.
 * Other interfaceType: VKM470F_ERR_NOT_AVAILABLE. */
VKM470F_API(int32_t) VKM470F_ResetDSP(VKM470F_DEVICE* dev);

/** Probes the USB device numbers 0 to count - 1 and writes one entry for each
 * into list: -1 nothing could be opened there (absent, or held by another
 * program or record: the two cannot be told apart here), 0 a device that is
 * not a VKM470 (or did not say so), 1 a VKM470. The first count entries are
 * set to 0 before anything else, whatever the record. Uses a channel of its
 * own: the record's channel is neither used nor changed, and the record need
 * not be open; only interfaceType must be VKM470F_INTERFACE_USB. Each device
 * is opened and closed again, so a search must not run while this program
 * opens the same modules on another thread.
 * Returns the number of device numbers that could be opened, of any kind (0
 * when count is 0 or less); VKM470F_ERR_NOT_AVAILABLE (another interface);
 * VKM470F_ERR_NO_OBJECT (null record, list null with a count, no memory). */
VKM470F_API(int32_t) VKM470F_SearchDevices(VKM470F_DEVICE* dev, int16_t* list, int32_t count);

/** Sends the caller's control request exactly as built, with buffer as its
 * data stage of length bytes (direction 1: filled by the module, which must
 * answer exactly length bytes), waiting timeout ms. The only USB export that
 * neither checks nor changes applicationRunning, even for a request 0x0F. USB
 * only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, request null, buffer null with
 * a length); a failed USB request's code. */
VKM470F_API(int32_t)
VKM470F_SimpleControlQDevice(VKM470F_DEVICE* dev, QUSB_REQUEST* request, uint8_t* buffer,
                             uint32_t length, uint32_t timeout);

/** One bulk read of up to length bytes from the module's bulk IN endpoint,
 * waiting timeout ms; *bytesRead holds the bytes received, on failure too. A
 * read that ends with fewer bytes than length (a short packet, or the
 * time-out) fails with VKM470F_ERR_LENGTH_MISMATCH. USB only; starts the
 * application first. Do not mix with a running bulk FIFO, whose workers use
 * the same endpoints.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, bytesRead null, buffer null
 * with a length); a failed USB request's code. */
VKM470F_API(int32_t)
VKM470F_SimpleReadBulk(VKM470F_DEVICE* dev, uint8_t* buffer, uint32_t length, uint32_t* bytesRead,
                       uint32_t timeout);

/** One bulk write of length bytes to the module's bulk OUT endpoint; the
 * mirror of VKM470F_SimpleReadBulk, *bytesWritten counting the bytes the
 * module took. */
VKM470F_API(int32_t)
VKM470F_SimpleWriteBulk(VKM470F_DEVICE* dev, const uint8_t* buffer, uint32_t length,
                        uint32_t* bytesWritten, uint32_t timeout);

/** A special flash command; only the low 16 bits of command count.
 * USB: starts the application, then request 0x08 with the command in index,
 * 500 ms: with length 0 it carries no data (direction 0), else the module
 * answers length bytes into data (direction 1). The firmware decides what a
 * command does; the library checks no number. Returns 0,
 * VKM470F_ERR_NO_OBJECT (not open, data null with a length), or a failed USB
 * request's code.
 * LPT1-3: command 1 (VKM470F_SPECIAL_BINARY_PAGES) switches the flash to
 * 512-byte pages (a one-time switch of the chip: there is no way back), data
 * and length not used; command 2 (VKM470F_SPECIAL_FLASH_INFORMATION) fills
 * data[0..7] (length not used: data must hold 8 bytes) with the chip's
 * status, protection, lockdown and security bytes and its 4-byte
 * manufacturer and device ID. Each opens and closes the cable. Returns 0,
 * VKM470F_ERR_CABLE_OPEN, VKM470F_ERR_FLASH_FAILED (the chip did not get
 * ready, or its ID could not be read), VKM470F_ERR_NO_OBJECT (command 2
 * without data); any other command VKM470F_ERR_NOT_AVAILABLE, nothing done.
 * Other interfaceType: VKM470F_ERR_NOT_AVAILABLE. */
VKM470F_API(int32_t)
VKM470F_SpecialDSPFlashCommand(VKM470F_DEVICE* dev, uint32_t command, uint8_t* data,
                               uint32_t length);

/** Starts streaming: starts the application, sends the stream request (0x04,
 * 1000 ms), then stops both workers if they run, empties both FIFOs (words
 * written before the start are dropped) and starts the reader, then the
 * writer. Starting again restarts both. USB only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, no bulk FIFO); a failed USB
 * request's code (the workers are left as they were). A worker that cannot be
 * started shows later, as VKM470F_ERR_WORKER_STOPPED from the Get exports.
 * Must not overlap any other call on the record. */
VKM470F_API(int32_t) VKM470F_StartBulkFIFO(VKM470F_DEVICE* dev);

/** Stops streaming: stops both workers and waits for them, then sends the
 * stream request (0x04, 1000 ms), also when they never ran. Words still in
 * the read FIFO can be read afterwards. USB only.
 * Returns 0; VKM470F_ERR_NO_OBJECT (not open, no bulk FIFO); a failed USB
 * request's code (the workers have stopped all the same).
 * Must not overlap any other call on the record. */
VKM470F_API(int32_t) VKM470F_StopBulkFIFO(VKM470F_DEVICE* dev);

/** Puts up to wordCount 16-bit words from buffer into the write FIFO, waiting
 * for room until timeout ms have passed since the call began; *wordsWritten
 * counts the words queued, on failure too. The mirror of VKM470F_ReadBulkFIFO,
 * with the same time-outs (0 queues nothing, 0xFFFFFFFF waits without end).
 * One thread at a time may write a record's FIFO. USB only.
 * Returns 0; VKM470F_ERR_WRITER_STOPPED at once when the write FIFO is full
 * and the writer does not run (before the start, words are queued while there
 * is room, and the start drops them); VKM470F_ERR_NOT_AVAILABLE when another
 * thread filled the FIFO; VKM470F_ERR_NO_OBJECT as for the read. */
VKM470F_API(int32_t)
VKM470F_WriteBulkFIFO(VKM470F_DEVICE* dev, const uint16_t* buffer, uint32_t wordCount,
                      uint32_t* wordsWritten, uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* VKM470FAPI_H */
