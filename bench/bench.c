/* mirdu-bench: times the library's calls against the bare Win32 calls that they cannot avoid.
 *
 *   mirdu-bench.exe --out FILE [--rounds N] [--big-rounds N] [--growth COUNT,FROM]
 *                   [--bare-dir PREFIX] [--writes N] [--stretch S] [--prompt 1] [--dll NAME]
 *                   CASE...
 *
 * Cases (run in the order given, in this one process):
 *   log       KVTRead (a call that only logs) against wsprintfA of the same line,
 *             GetStdHandle and WriteConsoleA.
 *   write4k   KVTWrite of 4 KiB against the same console line plus wsprintfA of a capture
 *             name, CreateFileA, WriteFile and CloseHandle of the same 4 KiB in the same folder.
 *   write64m  the same with 64 MiB in one call; both files are deleted after each round.
 *   read64m   KVTRead of 64 MiB in one call from the memory build (--dll mirdu-memory.dll),
 *             after one KVTWrite of those bytes, against the same console line plus one
 *             ReadFile of 64 MiB into the same buffer from a file in %TEMP% that holds them, as
 *             the library's own memory file does. Each read is checked once for its bytes.
 *   growth    KVTWrite of 4 KiB over captures 1 to COUNT against captures FROM+1 to FROM+COUNT
 *             of the same load (every capture in between is made too); must be the first
 *             case that writes in the process. Interleaved with it, the bare calls make the
 *             same files in the empty folder PREFIX (a path ending in a backslash), to show how
 *             much of any growth the platform brings.
 *   cycle     one LoadLibraryA and FreeLibrary of mirdu.dll, with one key queued for the
 *             prompt before FreeLibrary; in milliseconds. Must be the only case of its process.
 *   scale     N KVTWrites of 256 bytes at distinct addresses (0x100 apart), each file's first
 *             four bytes its index. In the first and the last S writes (--stretch, 10,000),
 *             each is paired with the bare calls for the same name in PREFIX0\, PREFIX1\ or
 *             PREFIX2\ in turn (--bare-dir PREFIX), whose files the runner must move away as
 *             they close. "scale ratio=R first=F last=L first_us=A last_us=B bare_first_us=C
 *             bare_last_us=D writes=N": F and L the library against the bare calls in each
 *             stretch (StretchRatio), R = L / F, A to D plain medians; then "scale-blocks
 *             first=... last=...", the figure of each block.
 *   once      one KVTWrite of 256 bytes: the whole run is what is timed, from outside.
 * --prompt 1 leaves the library's closing prompt to whoever runs the client (mirdu-run, or
 * a script that answers it) instead of queueing a key. --dll names the library to load
 * (default mirdu.dll).
 * Each measured case interleaves the library and its floor (A B, then B A, ...) for N rounds,
 * one call per sample timed with QueryPerformanceCounter, and writes the medians:
 *   NAME ratio=R ours_us=A floor_us=B
 * For growth, "ours" is the later stretch and "floor" the first one; the bare-call figures
 * follow on a line "growth-bare ratio=R late_us=A early_us=B". For cycle: "cycle ms=M" and
 * the three parts of M: load_ms=, queue_ms= (the key) and unload_ms=.
 * Drive F: must be an empty folder when the program starts. */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "exports/mirdu.h"

typedef uint32_t(__cdecl *TransferFn)(int32_t, const void *, uint32_t, uint32_t);

/* The library writes to OURS_ADDR; the floor does what the library must do for a write to
 * FLOOR_ADDR: a name of the same length in the same folder, a line of the same length. */
enum { OURS_ADDR = 0x1000, FLOOR_ADDR = 0x2000, SMALL = 4096 };
#define BIG (64u << 20)

static const char kWriteLine[] = "KVTWrite : buf = %08X, addr = %08X, len = %08X\n";
/* The bare calls of scale: a line of the same length that no runner takes for a call (under
 * mirdu-run a KVTWrite line counts as a capture). */
static const char kBareLine[] = "BareWrite: buf = %08X, addr = %08X, len = %08X\n";
static const char kReadLine[] = "KVTRead : buf = %08X, addr = %08X, len = %08X\n";
static const char kCaptureName[] = "%s%04d-kvtwrite-%08X.bin";
static const char kDrive[] = "f:\\";

static FILE *out;
static HMODULE library;
static int loadedBefore; /* the library has been loaded in this process */
static TransferFn kvtWrite, kvtRead;
static int32_t captures; /* KVTWrite calls made in this load: the library's next number */
static int promptAnswered; /* someone else answers the prompt at unload */
static const char *libraryName = "mirdu.dll";
static double ticksPerMicrosecond;

static BOOL QueueKey(void);

/* Ends the process; with the library loaded, a key is queued first, or its prompt at unload
 * would wait for ever. */
static void Die(const char *what)
{
    fprintf(out, "error %s (%lu)\n", what, GetLastError());
    fflush(out);
    if (library)
        QueueKey();
    exit(2);
}

static double Now(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / ticksPerMicrosecond;
}

static uint32_t PointerValue(const void *p)
{
    return (uint32_t)(uintptr_t)p;
}

static void FillPattern(unsigned char *p, size_t n)
{
    uint32_t x = 0x9E3779B9u;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = (unsigned char)x;
    }
}

static int CompareDoubles(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double Median(double *v, int n)
{
    qsort(v, n, sizeof *v, CompareDoubles);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

static double *Samples(int n)
{
    double *v = malloc(sizeof(double) * (n ? n : 1));
    if (!v)
        Die("out of memory");
    return v;
}

/* ---- The floors: the calls that the library cannot do without. ---- */

static void FloorLine(const char *format, const void *buf, uint32_t addr, uint32_t len)
{
    char line[100];
    int n = wsprintfA(line, format, PointerValue(buf), addr, len);
    DWORD written;
    WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), line, n, &written, NULL);
}

static void FloorRead(const void *buf, uint32_t addr, uint32_t len)
{
    FloorLine(kReadLine, buf, addr, len);
}

static void FloorWrite(const char *line, const char *folder, int32_t number, const void *buf,
                       uint32_t addr, uint32_t len)
{
    FloorLine(line, buf, addr, len);
    char path[MAX_PATH];
    wsprintfA(path, kCaptureName, folder, number, addr);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, buf, len, &written, NULL);
    CloseHandle(file);
}

static void DeleteCapture(int32_t number, uint32_t addr)
{
    char path[52];
    wsprintfA(path, kCaptureName, kDrive, number, addr);
    DeleteFileA(path);
}

/* Checks that a write left its file: a benchmark of captures that fail would prove nothing. */
static void ExpectCapture(const char *folder, int32_t number, uint32_t addr, uint32_t len)
{
    char path[MAX_PATH];
    wsprintfA(path, kCaptureName, folder, number, addr);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) || data.nFileSizeHigh != 0 ||
        data.nFileSizeLow != len) {
        fprintf(out, "error capture %s missing or not %u bytes\n", path, len);
        Die("a capture failed");
    }
}

/* ---- Library loading. ---- */

/* Puts an ENTER key press into the console input, for the library's prompt at unload. */
static BOOL QueueKey(void)
{
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE)
        return FALSE;
    INPUT_RECORD keys[2];
    memset(keys, 0, sizeof keys);
    for (int i = 0; i < 2; i++) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
        keys[i].Event.KeyEvent.wVirtualScanCode = 0x1C;
        keys[i].Event.KeyEvent.uChar.AsciiChar = '\r';
    }
    DWORD written = 0;
    BOOL queued = WriteConsoleInputA(input, keys, 2, &written) && written == 2;
    CloseHandle(input);
    return queued;
}

static void Load(void)
{
    if (library)
        return;
    library = LoadLibraryA(libraryName);
    if (!library)
        Die("cannot load the library");
    loadedBefore = 1;
    kvtWrite = (TransferFn)(void (*)(void))GetProcAddress(library, "KVTWrite");
    kvtRead = (TransferFn)(void (*)(void))GetProcAddress(library, "KVTRead");
    if (!kvtWrite || !kvtRead)
        Die("the library lacks KVTWrite or KVTRead");
    captures = 0;
}

static void Unload(void)
{
    if (!library)
        return;
    if (!promptAnswered && !QueueKey())
        Die("cannot queue a key for the prompt");
    FreeLibrary(library);
    library = NULL;
}

/* ---- Cases. ---- */

static void Report(const char *name, double *ours, double *floor, int n)
{
    double a = Median(ours, n), b = Median(floor, n);
    fprintf(out, "%s ratio=%.4f ours_us=%.2f floor_us=%.2f\n", name, a / b, a, b);
    fflush(out);
}

static void CaseLog(int rounds, const unsigned char *data)
{
    double *ours = Samples(rounds), *floor = Samples(rounds);
    for (int r = 0; r < rounds; r++) {
        for (int turn = 0; turn < 2; turn++) {
            double t0 = Now();
            if ((r + turn) % 2 == 0) {
                kvtRead(0, data, OURS_ADDR, SMALL);
                ours[r] = Now() - t0;
            } else {
                FloorRead(data, OURS_ADDR, SMALL);
                floor[r] = Now() - t0;
            }
        }
    }
    Report("log", ours, floor, rounds);
    free(ours);
    free(floor);
}

/* One round: the library's capture number N to OURS_ADDR and the floor's file N to FLOOR_ADDR,
 * in alternating order. */
static void CaseWrite(const char *name, int rounds, const unsigned char *data, uint32_t len,
                      int deleteAfter)
{
    double *ours = Samples(rounds), *floor = Samples(rounds);
    for (int r = 0; r < rounds; r++) {
        int32_t number = captures;
        for (int turn = 0; turn < 2; turn++) {
            double t0 = Now();
            if ((r + turn) % 2 == 0) {
                kvtWrite(0, data, OURS_ADDR, len);
                ours[r] = Now() - t0;
            } else {
                FloorWrite(kWriteLine, kDrive, number, data, FLOOR_ADDR, len);
                floor[r] = Now() - t0;
            }
        }
        captures++;
        ExpectCapture(kDrive, number, OURS_ADDR, len);
        ExpectCapture(kDrive, number, FLOOR_ADDR, len);
        if (deleteAfter) {
            DeleteCapture(number, OURS_ADDR);
            DeleteCapture(number, FLOOR_ADDR);
        }
    }
    Report(name, ours, floor, rounds);
    free(ours);
    free(floor);
}

/* The floor's file of a big read: the bytes in a file of %TEMP%, the folder of the memory
 * build's own memory file, that goes when its handle closes. */
static HANDLE FloorReadFile(const unsigned char *data, uint32_t len)
{
    char folder[MAX_PATH], path[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, folder) || !GetTempFileNameA(folder, "mdb", 0, path))
        Die("no file in %TEMP% for the floor");
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, data, len, &written, NULL) ||
        written != len)
        Die("cannot write the floor's file");
    return file;
}

static void FloorBigRead(HANDLE file, void *buf, uint32_t len)
{
    FloorLine(kReadLine, buf, OURS_ADDR, len);
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    DWORD read = 0;
    ReadFile(file, buf, len, &read, &at);
}

/* The memory build answers a read of 64 MiB that it was written; the floor reads the same bytes
 * from a file. Once each, untimed, both reads are checked for the bytes, and their pages are
 * touched before the clock starts. */
static void CaseRead64m(int rounds, const unsigned char *data)
{
    unsigned char *buf = malloc(BIG);
    if (!buf)
        Die("out of memory");
    HANDLE file = FloorReadFile(data, BIG);
    kvtWrite(0, data, OURS_ADDR, BIG);
    captures++;
    memset(buf, 0, BIG);
    kvtRead(0, buf, OURS_ADDR, BIG);
    if (memcmp(buf, data, BIG) != 0)
        Die("KVTRead did not deliver what KVTWrite wrote: is --dll the memory build?");
    memset(buf, 0, BIG);
    FloorBigRead(file, buf, BIG);
    if (memcmp(buf, data, BIG) != 0)
        Die("the floor's file did not read back");
    double *ours = Samples(rounds), *floor = Samples(rounds);
    for (int r = 0; r < rounds; r++) {
        for (int turn = 0; turn < 2; turn++) {
            double t0 = Now();
            if ((r + turn) % 2 == 0) {
                kvtRead(0, buf, OURS_ADDR, BIG);
                ours[r] = Now() - t0;
            } else {
                FloorBigRead(file, buf, BIG);
                floor[r] = Now() - t0;
            }
        }
    }
    CloseHandle(file);
    Report("read64m", ours, floor, rounds);
    free(ours);
    free(floor);
    free(buf);
}

/* Captures 1 to COUNT against captures FROM+1 to FROM+COUNT of one load, every capture in
 * between made too. Each step also makes the bare calls' file of the same name in a folder of
 * its own (bareDir), so that both folders grow alike and both see the same machine. */
static void CaseGrowth(int count, int from, const char *bareDir, const unsigned char *data)
{
    if (captures != 0)
        Die("growth must be the first case that writes");
    if (from < count)
        Die("growth: the later stretch must start after the first");
    double *ours[2] = {Samples(count), Samples(count)}, *bare[2] = {Samples(count), Samples(count)};
    for (int i = 0; i < from + count; i++) {
        int stretch = i < count ? 0 : i >= from ? 1 : -1, k = stretch == 1 ? i - from : i;
        for (int turn = 0; turn < 2; turn++) {
            double t0 = Now();
            if ((i + turn) % 2 == 0) {
                kvtWrite(0, data, OURS_ADDR, SMALL);
                if (stretch >= 0)
                    ours[stretch][k] = Now() - t0;
            } else {
                FloorWrite(kWriteLine, bareDir, i, data, OURS_ADDR, SMALL);
                if (stretch >= 0)
                    bare[stretch][k] = Now() - t0;
            }
        }
    }
    captures = from + count;
    ExpectCapture(kDrive, 0, OURS_ADDR, SMALL);
    ExpectCapture(kDrive, from + count - 1, OURS_ADDR, SMALL);
    ExpectCapture(bareDir, from + count - 1, OURS_ADDR, SMALL);
    Report("growth", ours[1], ours[0], count);
    double late = Median(bare[1], count), early = Median(bare[0], count);
    fprintf(out, "growth-bare ratio=%.4f late_us=%.2f early_us=%.2f\n", late / early, late, early);
    fflush(out);
    for (int j = 0; j < 2; j++) {
        free(ours[j]);
        free(bare[j]);
    }
}

/* One load and unload. After FreeConsole, a console that the process allocates again has no
 * terminal (under Wine, not even a queued key reaches it), so the runner starts one process
 * per cycle and takes the median. */
static void CaseCycle(void)
{
    if (loadedBefore)
        Die("cycle must be the only case of its process");
    /* Under Wine the first console write of a process waits until the console host has
     * started (from under a millisecond to over 150 ms): a cost of the process, not of the
     * library, so the client pays it here, before the clock starts. */
    DWORD written;
    WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), "mirdu-bench: cycle\n", 19, &written, NULL);
    double t0 = Now();
    HMODULE m = LoadLibraryA("mirdu.dll");
    if (!m)
        Die("cannot load mirdu.dll");
    double t1 = Now();
    library = m;
    if (!QueueKey())
        Die("cannot queue a key for the prompt");
    library = NULL;
    double t2 = Now();
    FreeLibrary(m);
    double t3 = Now();
    fprintf(out, "cycle ms=%.3f load_ms=%.3f queue_ms=%.3f unload_ms=%.3f\n", (t3 - t0) / 1000.0,
            (t1 - t0) / 1000.0, (t2 - t1) / 1000.0, (t3 - t2) / 1000.0);
    fflush(out);
}

/* How the library's writes of one scale stretch compare with the bare calls beside them. The
 * stretch is cut into SCALE_BLOCKS blocks of consecutive pairs, each a fraction of a second, so
 * that the machine is much the same for both calls of a block: a block's figure is the
 * library's median over the bare calls' median, and the stretch's the median of the blocks'.
 * The bare calls take BARE_FOLDERS folders in turn, and their median in a block is the median
 * of the folders' medians. Creating a file can be dearer in one folder than in another for
 * seconds at a time (on ext4 without a journal, while inodes near it were freed less than half
 * a minute ago): a bare folder so slowed drops out, and so does a spell on F: that covers less
 * than half of the stretch. */
enum { SCALE_BLOCKS = 20, BARE_FOLDERS = 3 };

static double StretchRatio(double *ours, double *bare, int count, char *blocks)
{
    int size = count / SCALE_BLOCKS;
    double ratios[SCALE_BLOCKS], folders[BARE_FOLDERS], *one = Samples(size);
    for (int b = 0; b < SCALE_BLOCKS; b++) {
        for (int j = 0; j < BARE_FOLDERS; j++) {
            int n = 0;
            for (int k = b * size; k < (b + 1) * size; k++)
                if (k % BARE_FOLDERS == j)
                    one[n++] = bare[k];
            folders[j] = Median(one, n);
        }
        ratios[b] = Median(ours + b * size, size) / Median(folders, BARE_FOLDERS);
        blocks += sprintf(blocks, "%s%.3f", b ? "," : "", ratios[b]);
    }
    free(one);
    return Median(ratios, SCALE_BLOCKS);
}

/* N writes; in the first and the last stretch each one is paired with the bare calls for the
 * same capture name (A B, then B A, ...) in folder k % BARE_FOLDERS under bareDir (0\, 1\, ...).
 * Whoever runs the client moves each bare file out as it closes, as staging does with F:, so
 * those folders stay nearly empty: the bare calls show what the machine and Wine cost at that
 * moment, not a folder's growth. */
static void CaseScale(int writes, int stretch, const char *bareDir, const unsigned char *pattern)
{
    if (captures != 0)
        Die("scale must be the first case that writes");
    if (stretch < SCALE_BLOCKS * BARE_FOLDERS || stretch > writes / 2)
        Die("scale: a stretch is at least 60 writes and at most half of them");
    char folders[BARE_FOLDERS][MAX_PATH];
    for (int j = 0; j < BARE_FOLDERS; j++)
        wsprintfA(folders[j], "%s%d\\", bareDir, j);
    double *ours[2] = {Samples(stretch), Samples(stretch)};
    double *bare[2] = {Samples(stretch), Samples(stretch)};
    unsigned char data[256];
    memcpy(data, pattern, sizeof data);
    for (int i = 0; i < writes; i++) {
        int s = i < stretch ? 0 : i >= writes - stretch ? 1 : -1;
        int k = s == 1 ? i - (writes - stretch) : i;
        uint32_t addr = (uint32_t)i * 0x100u;
        memcpy(data, &i, sizeof i);
        for (int turn = 0; turn < (s < 0 ? 1 : 2); turn++) {
            double t0 = Now();
            if (s < 0 || (i + turn) % 2 == 0) {
                kvtWrite(0, data, addr, sizeof data);
                if (s >= 0)
                    ours[s][k] = Now() - t0;
            } else {
                FloorWrite(kBareLine, folders[k % BARE_FOLDERS], i, data, addr, sizeof data);
                bare[s][k] = Now() - t0;
            }
        }
    }
    captures = writes;
    char blocks[2][SCALE_BLOCKS * 16];
    double first = StretchRatio(ours[0], bare[0], stretch, blocks[0]);
    double last = StretchRatio(ours[1], bare[1], stretch, blocks[1]);
    fprintf(out, "scale ratio=%.4f first=%.4f last=%.4f first_us=%.2f last_us=%.2f "
            "bare_first_us=%.2f bare_last_us=%.2f writes=%d\n", last / first, first, last,
            Median(ours[0], stretch), Median(ours[1], stretch), Median(bare[0], stretch),
            Median(bare[1], stretch), writes);
    fprintf(out, "scale-blocks first=%s last=%s\n", blocks[0], blocks[1]);
    fflush(out);
    for (int j = 0; j < 2; j++) {
        free(ours[j]);
        free(bare[j]);
    }
}

int main(int argc, char **argv)
{
    int rounds = 2000, bigRounds = 9, growthCount = 1000, growthFrom = 20000, writes = 100000;
    int stretch = 10000;
    const char *outPath = NULL, *bareDir = NULL;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (i + 1 >= argc)
            return 3;
        if (strcmp(argv[i], "--out") == 0)
            outPath = argv[i + 1];
        else if (strcmp(argv[i], "--rounds") == 0)
            rounds = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--big-rounds") == 0)
            bigRounds = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--bare-dir") == 0)
            bareDir = argv[i + 1];
        else if (strcmp(argv[i], "--writes") == 0)
            writes = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--stretch") == 0)
            stretch = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--prompt") == 0)
            promptAnswered = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--dll") == 0)
            libraryName = argv[i + 1];
        else if (strcmp(argv[i], "--growth") == 0)
            sscanf(argv[i + 1], "%d,%d", &growthCount, &growthFrom);
        else
            return 3;
    }
    out = outPath ? fopen(outPath, "w") : stdout;
    if (!out || rounds < 1 || bigRounds < 1 || growthCount < 1 || writes < 2)
        return 3;

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ticksPerMicrosecond = (double)frequency.QuadPart / 1e6;

    unsigned char *small = malloc(SMALL), *big = NULL;
    if (!small)
        Die("out of memory");
    FillPattern(small, SMALL);

    for (; i < argc; i++) {
        const char *c = argv[i];
        if (strcmp(c, "cycle") == 0) {
            CaseCycle();
            continue;
        }
        Load();
        if (strcmp(c, "log") == 0) {
            CaseLog(rounds, small);
        } else if (strcmp(c, "write4k") == 0) {
            CaseWrite("write4k", rounds, small, SMALL, 0);
        } else if (strcmp(c, "write64m") == 0) {
            if (!big && !(big = malloc(BIG)))
                Die("out of memory");
            FillPattern(big, BIG);
            CaseWrite("write64m", bigRounds, big, BIG, 1);
        } else if (strcmp(c, "read64m") == 0) {
            if (!big && !(big = malloc(BIG)))
                Die("out of memory");
            FillPattern(big, BIG);
            CaseRead64m(bigRounds, big);
        } else if (strcmp(c, "scale") == 0) {
            if (!bareDir)
                Die("scale needs --bare-dir");
            CaseScale(writes, stretch, bareDir, small);
        } else if (strcmp(c, "once") == 0) {
            kvtWrite(0, small, OURS_ADDR, 256);
        } else if (strcmp(c, "growth") == 0) {
            if (!bareDir)
                Die("growth needs --bare-dir");
            CaseGrowth(growthCount, growthFrom, bareDir, small);
        } else {
            fprintf(out, "unknown case %s\n", c);
            Die("bad arguments");
        }
    }
    Unload();
    fprintf(out, "done\n");
    fclose(out);
    return 0;
}
