// SPDX-License-Identifier: MIT
// The four operations on a module: write the images, set the flash page size,
// read and write the serial number. Each opens the device, works through the
// library's flash calls and closes the device again.
#include <cstdio>
#include <cstring>
#include <memory>

#include "burner.h"

namespace {

constexpr char burn_source[] = "operations";

constexpr uint32_t chunk_size = vkm470::flash_map::kPieceBytes;
constexpr long dot_bytes = 32768;
constexpr uint32_t flash_timeout = vkm470::flash_map::kPieceTimeoutMs;
constexpr uint8_t device_number = 0;

enum chunk_result { chunk_written, chunk_not_programmed, chunk_differs };

// Programs one chunk and, when verifying, reads it back and compares.
chunk_result program_chunk(uint32_t address, const uint8_t* data, uint32_t count) {
  BURN_ASSERT(data != nullptr);
  if (VKM470F_ProgrammDSPFlash(&burn_device, address, data, count, flash_timeout) != 0) {
    return chunk_not_programmed;
  }
  if (burn_options.verify != 0) {
    uint8_t readback[chunk_size];
    if (VKM470F_ReadDSPFlash(&burn_device, address, readback, count, flash_timeout) != 0 ||
        std::memcmp(readback, data, count) != 0) {
      return chunk_differs;
    }
  }
  return chunk_written;
}

// One dot for every whole 32768 bytes written.
void show_progress(long total) {
  if (total % dot_bytes == 0) burn_print(".");
}

void report_written(chunk_result result, long total, int32_t* status) {
  BURN_ASSERT(status != nullptr);
  switch (result) {
    case chunk_not_programmed:
      burn_error("error program FLASH\n");
      *status = operation_failed;
      break;
    case chunk_differs:
      burn_error("verifing error\n");
      *status = operation_failed;
      break;
    case chunk_written:
      burn_print("wrote %ld bytes\n", total);
      if (burn_options.verify != 0) burn_print("verify OK\n");
      break;
  }
}

// Size of an open file, or -1 when it cannot be told.
long file_size(std::FILE* file) {
  BURN_ASSERT(file != nullptr);
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file);
  if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

// An image as its file yielded it, at most its area's size.
struct image_bytes {
  std::unique_ptr<uint8_t[]> data;
  size_t length = 0;
};

// Opens an image file and reads it whole before any byte of it is written, or
// reports why not and returns false. At most one byte more than the area holds
// is read, so a source longer than its area is refused however its size looks
// when it opens: a pipe or a character device tells none, a procfs file tells
// 0. Once read, a change to the file no longer changes what is written.
bool read_image(const char* fname_bin, long area_size, image_bytes* image, int32_t* status) {
  BURN_ASSERT(fname_bin != nullptr);
  BURN_ASSERT(image != nullptr);
  BURN_ASSERT(status != nullptr);
  std::FILE* file = std::fopen(fname_bin, "rb");
  if (file == nullptr) {
    burn_error("error: can't open file %s\n", fname_bin);
    *status = operation_cannot_open;
    return false;
  }
  const size_t limit = static_cast<size_t>(area_size);
  // Not zeroed: the pages a short image does not reach are never touched.
  image->data.reset(new uint8_t[limit + 1]);
  image->length = std::fread(image->data.get(), 1, limit + 1, file);
  bool read = false;
  if (std::ferror(file) != 0) {
    burn_error("error reading file %s\n", fname_bin);
    *status = operation_cannot_read;
  } else if (image->length > limit) {
    const long size = file_size(file);
    if (size > area_size) {
      burn_error("error: file %s too large for its area (%ld bytes, at most %ld)\n", fname_bin,
                 size, area_size);
    } else {
      burn_error("error: file %s too large for its area (more than %ld bytes, at most %ld)\n",
                 fname_bin, area_size, area_size);
    }
    *status = operation_cannot_read;
  } else {
    read = true;
  }
  std::fclose(file);
  return read;
}

// Writes an image from address on in chunks of 4096 bytes: a dot first, the
// chunks with their dots, a line end and the report.
void write_chunks(uint32_t address, const image_bytes& image, int32_t* status) {
  BURN_ASSERT(status != nullptr);
  burn_print(".");
  long total = 0;
  chunk_result result = chunk_written;
  while (static_cast<size_t>(total) < image.length) {
    const size_t left = image.length - static_cast<size_t>(total);
    const uint32_t count = static_cast<uint32_t>(left < chunk_size ? left : chunk_size);
    result = program_chunk(address + static_cast<uint32_t>(total), image.data.get() + total, count);
    if (result != chunk_written) break;
    total += count;
    show_progress(total);
  }
  burn_print("\n");
  report_written(result, total, status);
}

// Opens the device, printing nothing; the caller reports a failure its own way.
bool open_device() { return VKM470F_OpenDevice(&burn_device, device_number) == 0; }

}  // namespace

void write_images(int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = operation_ok;
  const bool verify = burn_options.verify != 0;
  if (!open_device()) *status = operation_failed;

  if (*status == operation_ok && burn_options.fname_boot[0] != '\0') {
    burn_print(verify ? "Writing and verifying boot program" : "Writing boot program");
    write_image_file(boot_address, boot_area_size, burn_options.fname_boot, status);
  }
  if (*status == operation_ok && burn_options.fname_app[0] != '\0') {
    burn_print(verify ? "Writing and verifying application program"
                      : "Writing application program");
    write_image_file(app_address, app_area_size, burn_options.fname_app, status);
  }
  if (*status == operation_ok && burn_options.fname_pga[0] != '\0') {
    burn_print(verify ? "Writing and verifying PGA broaching" : "Writing PGA broaching");
    write_pga_image(burn_options.fname_pga, status);
  }
  VKM470F_CloseDevice(&burn_device);
}

void write_image_file(uint32_t address, long area_size, const char* fname_bin, int32_t* status) {
  BURN_ASSERT(fname_bin != nullptr);
  BURN_ASSERT(status != nullptr);
  *status = operation_ok;
  image_bytes image;
  if (read_image(fname_bin, area_size, &image, status)) write_chunks(address, image, status);
}

void write_pga_image(const char* fname_bin, int32_t* status) {
  BURN_ASSERT(fname_bin != nullptr);
  BURN_ASSERT(status != nullptr);
  *status = operation_ok;
  // The header needs the image's length and byte sum before any image byte.
  image_bytes image;
  if (!read_image(fname_bin, pga_area_size, &image, status)) return;
  if (image.length == 0) {
    burn_error("error reading file %s\n", fname_bin);
    *status = operation_cannot_read;
    return;
  }

  const vkm470::flash_map::PgaHeaderBytes header =
      vkm470::flash_map::pgaHeader(image.data.get(), static_cast<uint32_t>(image.length));
  if (VKM470F_ProgrammDSPFlash(&burn_device, pga_header_address, header.data(), pga_header_size,
                               flash_timeout) != 0) {
    burn_error("error program FLASH\n");
    *status = operation_failed;
  }
  if (burn_options.verify != 0) {
    uint8_t readback[pga_header_size];
    if (VKM470F_ReadDSPFlash(&burn_device, pga_header_address, readback, pga_header_size,
                             flash_timeout) != 0 ||
        std::memcmp(readback, header.data(), pga_header_size) != 0) {
      burn_error("verifing error\n");
      *status = operation_failed;
    }
  }
  if (*status == operation_ok) write_chunks(pga_address, image, status);
}

void set_page_size(int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = operation_ok;
  burn_print("Setting FLASH page size.");
  if (open_device() &&
      VKM470F_SpecialDSPFlashCommand(&burn_device, VKM470F_SPECIAL_BINARY_PAGES, nullptr, 0) == 0) {
    burn_print("OK\n");
  } else {
    burn_error("error setting FLASH page size\n");
    *status = operation_failed;
  }
  VKM470F_CloseDevice(&burn_device);
}

void read_serial(int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = operation_ok;
  burn_print("Reading serial.");
  uint8_t serial[sizeof burn_options.serial];
  if (open_device() && VKM470F_ReadDSPFlash(&burn_device, serial_address, serial, sizeof serial,
                                            flash_timeout) == 0) {
    // The area may hold no terminator: at most 15 characters are shown.
    serial[sizeof serial - 1] = '\0';
    burn_print("OK\n");
    burn_print("Serial Number: %s\n", reinterpret_cast<const char*>(serial));
  } else {
    burn_print("error\n");
    *status = operation_failed;
  }
  VKM470F_CloseDevice(&burn_device);
}

void write_serial(int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = operation_ok;
  burn_print("Writing serial.");
  if (open_device() &&
      VKM470F_ProgrammDSPFlash(&burn_device, serial_address,
                               reinterpret_cast<const uint8_t*>(burn_options.serial),
                               sizeof burn_options.serial, flash_timeout) == 0) {
    burn_print("OK\n");
  } else {
    burn_print("error\n");
    *status = operation_failed;
  }
  VKM470F_CloseDevice(&burn_device);
}
