// mirdu-run.exe's image writer alone, for the test that holds it to mirdu-image's output:
//   engine-image FOLDER OUTPUT [FOLDER OUTPUT]...
// For each pair, the image of every capture file of FOLDER written to OUTPUT (.hex, .ihex or
// .bin), as mirdu-run.exe --image writes the image of the captures a run wrote. One line for
// each pair on standard output: "written", or "refused: " and what mirdu-run would say.
// Many pairs in one process: Wine starts once for the whole corpus.
#include <string>

#include "runner/captures.h"
#include "runner/image.h"
#include "runner/paths.h"
#include "runner/report.h"

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3 || argc % 2 == 0) {
        WriteError(L"usage: engine-image FOLDER OUTPUT [FOLDER OUTPUT]...\n");
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring folder = FullPath(argv[i]);
        const Failure failure = WriteImage(folder, ListCaptures(folder), argv[i + 1]);
        WriteOutput(failure ? L"refused: " + failure.message + L"\n" : L"written\n");
    }
    return 0;
}
