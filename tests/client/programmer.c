/* The test client's programmer (step programmer:FIRMWARE|BACKUP), as command-line flash tools
 * go: it reads the device's id and refuses a device it does not know, programs FIRMWARE with
 * KVTWrite in blocks of 256 bytes from 0x10000 up, verifies every block (KVTRead and
 * KVTSyncRead in turn) and backs the 4 KiB at 0x8000 up into BACKUP with KVTSyncRead. Results:
 * "programmer id=ID" (hex, as read), then "programmer refused" (exit status 3), "programmer
 * verify failed at ADDR, N blocks differ" (exit status 4), or "programmer done blocks=N
 * backup=4096". Over mirdu.dll, whose reads deliver nothing, it refuses; over a device memory
 * preloaded with the id "MRDU" at 0x00FF0000 it runs to its end. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tests/client/client.h"

enum { kIdAddress = 0x00FF0000, kFirmwareBase = 0x10000, kBlock = 256 };
enum { kBackupAddress = 0x8000, kBackupSize = 4096, kMaxFirmware = 1 << 20 };
static const unsigned char kKnownId[4] = {'M', 'R', 'D', 'U'};

static unsigned char *ReadFirmware(const char *path, long *size)
{
    FILE *f = fopen(path, "rb");
    unsigned char *image = malloc(kMaxFirmware);
    if (!f || !image)
        Fail("programmer", "cannot read the firmware file");
    *size = (long)fread(image, 1, kMaxFirmware, f);
    fclose(f);
    return image;
}

/* Refuses, with exit status 3, unless the id reads as the known one. */
static void CheckId(TransferFn read)
{
    unsigned char id[4];
    memset(id, 0, sizeof id);
    read(0, id, kIdAddress, sizeof id);
    Report("programmer id=%02X%02X%02X%02X", id[0], id[1], id[2], id[3]);
    if (memcmp(id, kKnownId, sizeof id) != 0) {
        Report("programmer refused");
        exit(3);
    }
}

/* Every block read back against the file; exit status 4 when one differs. */
static void Verify(TransferFn read, TransferFn syncRead, const unsigned char *image, long size)
{
    unsigned char block[kBlock];
    long differ = 0, first = -1;
    for (long at = 0; at < size; at += kBlock) {
        uint32_t n = (uint32_t)(size - at < kBlock ? size - at : kBlock);
        memset(block, 0, sizeof block);
        ((at / kBlock) % 2 ? syncRead : read)(0, block, kFirmwareBase + (uint32_t)at, n);
        if (memcmp(block, image + at, n) != 0 && differ++ == 0)
            first = at;
    }
    if (differ) {
        Report("programmer verify failed at %08lX, %ld blocks differ", kFirmwareBase + first,
               differ);
        exit(4);
    }
}

static void Backup(TransferFn syncRead, const char *path)
{
    unsigned char block[kBackupSize];
    syncRead(0, block, kBackupAddress, sizeof block);
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(block, 1, sizeof block, f) != sizeof block)
        Fail("programmer", "cannot write the backup file");
    fclose(f);
}

void RunProgrammer(const char *files)
{
    char firmware[MAX_PATH];
    const char *bar = strchr(files, '|');
    if (!bar || (size_t)(bar - files) >= sizeof firmware)
        Fail("programmer", "wants programmer:FIRMWARE|BACKUP");
    memcpy(firmware, files, bar - files);
    firmware[bar - files] = 0;
    TransferFn write = Transfer("KVTWrite"), read = Transfer("KVTRead");
    TransferFn syncRead = Transfer("KVTSyncRead");
    typedef int32_t(__cdecl * Open)(int32_t, int32_t);
    Open open = library ? (Open)(void (*)(void))GetProcAddress(library, "KVTOpen") : NULL;
    if (!write || !read || !syncRead || !open)
        Fail("programmer", "library not loaded");
    long size;
    unsigned char *image = ReadFirmware(firmware, &size);
    open(0, 0);
    CheckId(read);
    for (long at = 0; at < size; at += kBlock)
        write(0, image + at, kFirmwareBase + (uint32_t)at,
              (uint32_t)(size - at < kBlock ? size - at : kBlock));
    Verify(read, syncRead, image, size);
    Backup(syncRead, bar + 1);
    free(image);
    Report("programmer done blocks=%ld backup=%d", (size + kBlock - 1) / kBlock, kBackupSize);
}
