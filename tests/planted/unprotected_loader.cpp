// Loads the DLL names given on the command line the way a program without any
// protection would (plain LoadLibraryW, default search order), to show that the
// planted look-alikes beside it do get loaded when nothing stops them.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    int loaded = 0;
    for (int at = 1; at < argc; ++at) {
        if (LoadLibraryW(argv[at])) ++loaded;
    }
    return loaded == argc - 1 ? 0 : 1;
}
