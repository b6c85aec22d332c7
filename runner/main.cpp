// mirdu-run.exe: runs a Windows client program with mirdu.dll unattended and keeps its log.
//
//     mirdu-run.exe [OPTIONS] [--] PROGRAM.exe [ARGS...]
#include "runner/options.h"
#include "runner/run.h"

int wmain(int argc, wchar_t **argv)
{
    Options options;
    switch (ParseOptions(argc, argv, options)) {
    case kHelpShown:
        return 0;
    case kBadOptions:
        return 2;
    default:
        return Run(options);
    }
}
