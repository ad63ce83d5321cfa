// SPDX-License-Identifier: MIT
/* loopback: streams a 16-bit counter through a VKM470 module's bulk loop-back
 * and checks every word that comes back.
 *
 *   loopback [MiB]      (a positive decimal number; default 64)
 *
 * It searches for modules, opens QDev0, creates and starts a bulk FIFO, then
 * keeps the write FIFO filled with the counter while it empties the read FIFO,
 * until MiB mebibytes have come back. It prints the rate and exits with 0, or
 * names what failed and exits with 1; a size it does not take exits with 2.
 * Only the library's public header is used. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "vkm470fapi.h"

#define FIFO_BYTES (8u << 20)
#define BLOCK_COUNT 8u
#define BLOCK_BYTES (64u << 10)
#define CHUNK_WORDS (512u << 10)
#define POLL_MS 10u

static uint16_t out_words[CHUNK_WORDS];
static uint16_t in_words[CHUNK_WORDS];

/* The largest size whose words still fit the 64-bit counts below. */
#define MAX_MIB (UINT64_MAX >> 20)

static int failed(const char *what, int32_t status) {
  fprintf(stderr, "loopback: %s failed: %s (%ld)\n", what, VKM470F_StatusText(status),
          (long)status);
  return 1;
}

/* Why QDev0 did not open: the export's code says only that it did not; the
 * thread's system error, read before anything else can change it, says why. */
static int open_failed(int32_t status) {
#ifdef _WIN32
  const DWORD reason = GetLastError();
  const int absent = reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND;
  const int held = reason == ERROR_SHARING_VIOLATION;
  const int denied = reason == ERROR_ACCESS_DENIED;
#else
  const int reason = errno;
  const int absent = reason == ENOENT;
  const int held = reason == EBUSY;
  const int denied = reason == EACCES;
#endif
  if (status == VKM470F_ERR_OPEN_FAILED && absent) {
    fprintf(stderr, "loopback: no VKM470 module at QDev0\n");
  } else if (status == VKM470F_ERR_OPEN_FAILED && held) {
    fprintf(stderr, "loopback: the module at QDev0 is in use by another program\n");
  } else if (status == VKM470F_ERR_OPEN_FAILED && denied) {
    fprintf(stderr, "loopback: access to QDev0 denied: see the udev rule in vkm470burn(1)\n");
  } else {
    return failed("opening QDev0", status);
  }
  return 1;
}

/* A positive decimal number of MiB and nothing else: no sign, no spaces, no
 * other base. */
static int parse_mib(const char *text, uint64_t *mib) {
  uint64_t value = 0;
  const char *c;
  if (*text == '\0') return 0;
  for (c = text; *c != '\0'; ++c) {
    unsigned digit;
    if (*c < '0' || *c > '9') return 0;
    digit = (unsigned)(*c - '0');
    if (value > (MAX_MIB - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  *mib = value;
  return value > 0;
}

static double seconds_now(void) {
#if defined(TIME_UTC)
  struct timespec now;
  timespec_get(&now, TIME_UTC);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
#else
  /* Runtimes without C11's timespec_get: the Windows one, whose clock()
   * counts the time elapsed since the program started. */
  return (double)clock() / CLOCKS_PER_SEC;
#endif
}

/* Streams words words out and back; 0 when every word came back in order. */
static int stream(VKM470F_DEVICE *dev, uint64_t words) {
  uint64_t sent = 0, received = 0;
  uint16_t next_out = 0, next_in = 0;
  uint32_t queued = 0, offset = 0; /* words of out_words not yet written */
  int32_t status;

  while (received < words) {
    uint32_t room = 0, ready = 0, done = 0;
    int moved = 0;

    if (queued == 0 && sent < words) {
      uint64_t left = words - sent;
      uint32_t i;
      queued = left < CHUNK_WORDS ? (uint32_t)left : CHUNK_WORDS;
      for (i = 0; i < queued; ++i) out_words[i] = next_out++;
      offset = 0;
    }
    if (queued > 0) {
      status = VKM470F_GetBulkFIFOWriteFree(dev, &room);
      if (status != VKM470F_SUCCESS) return failed("VKM470F_GetBulkFIFOWriteFree", status);
      if (room > queued) room = queued;
      if (room > 0) {
        /* As much as there is room for: the call returns at once. */
        status = VKM470F_WriteBulkFIFO(dev, out_words + offset, room, &done, POLL_MS);
        if (status != VKM470F_SUCCESS) return failed("VKM470F_WriteBulkFIFO", status);
        offset += done;
        queued -= done;
        sent += done;
        moved = done > 0;
      }
    }

    status = VKM470F_GetBulkFIFOReadReady(dev, &ready);
    if (status != VKM470F_SUCCESS) return failed("VKM470F_GetBulkFIFOReadReady", status);
    if (ready > CHUNK_WORDS) ready = CHUNK_WORDS;
    if (ready > words - received) ready = (uint32_t)(words - received);
    /* Nothing to move either way: wait a little for words to come back. */
    if (ready == 0 && !moved) ready = 1;
    if (ready > 0) {
      uint32_t i;
      status = VKM470F_ReadBulkFIFO(dev, in_words, ready, &done, POLL_MS);
      if (status != VKM470F_SUCCESS) return failed("VKM470F_ReadBulkFIFO", status);
      for (i = 0; i < done; ++i, ++next_in) {
        if (in_words[i] != next_in) {
          fprintf(stderr, "loopback: word %llu is 0x%04x, expected 0x%04x\n",
                  (unsigned long long)(received + i), in_words[i], next_in);
          return 1;
        }
      }
      received += done;
    }
  }
  return 0;
}

int main(int argc, char **argv) {
  uint64_t mib = 64;
  VKM470F_DEVICE dev;
  int16_t modules[8];
  int32_t status;
  double start, elapsed;
  int result;

  if (argc > 2 || (argc == 2 && !parse_mib(argv[1], &mib))) {
    if (argc == 2) {
      fprintf(stderr, "loopback: %s is not a size: give a positive decimal number of MiB\n",
              argv[1]);
    }
    fprintf(stderr, "usage: loopback [MiB]\n");
    return 2;
  }

  memset(&dev, 0, sizeof dev);
  dev.interfaceType = VKM470F_INTERFACE_USB;
  status = VKM470F_SearchDevices(&dev, modules, 8);
  if (status < 0) return failed("VKM470F_SearchDevices", status);
  if (modules[0] == 0) {
    fprintf(stderr, "loopback: QDev0 is not a VKM470 module\n");
    return 1;
  }
  /* -1 (nothing opened at QDev0: absent or held) comes here too, and the open
   * says which. */
  status = VKM470F_OpenDevice(&dev, 0);
  if (status != VKM470F_SUCCESS) return open_failed(status);
  status = VKM470F_CreateBulkFIFO(&dev, FIFO_BYTES, FIFO_BYTES, BLOCK_COUNT, BLOCK_COUNT,
                                  BLOCK_BYTES, BLOCK_BYTES);
  if (status == VKM470F_SUCCESS) status = VKM470F_StartBulkFIFO(&dev);
  if (status != VKM470F_SUCCESS) {
    VKM470F_CloseDevice(&dev);
    return failed("starting the bulk FIFO", status);
  }

  start = seconds_now();
  result = stream(&dev, (uint64_t)mib << 19);
  elapsed = seconds_now() - start;

  status = VKM470F_StopBulkFIFO(&dev);
  VKM470F_CloseDevice(&dev);
  if (result != 0) return result;
  if (status != VKM470F_SUCCESS) return failed("VKM470F_StopBulkFIFO", status);
  printf("%llu MiB looped back and checked in %.3f s: %.1f MB/s\n", (unsigned long long)mib,
         elapsed, elapsed > 0 ? (double)mib * 1048576.0 / elapsed / 1e6 : 0.0);
  return 0;
}
