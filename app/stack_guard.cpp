// The stack cookie of the MinGW build: -fstack-protector-strong makes every function
// with a local array or an address-taken local check `__stack_chk_guard` before it
// returns, and call `__stack_chk_fail` when it was overwritten, as MSVC's /GS does.
// GCC's libssp would supply both, but it seeds the cookie with CryptAcquireContext,
// which loads more DLLs before wWinMain has limited where DLLs may come from (and from
// a DLL's start-up, under the loader lock). This seeds it from kernel32 alone, as
// MSVC's start-up code does, and ends the process at once on a mismatch.
// Built without the stack protector itself.
#if defined(__MINGW32__)

#include <windows.h>

#include <cstdint>

extern "C" {

// Replaced before any code of ours runs: constructors run before main and DllMain.
std::uintptr_t __stack_chk_guard = 0x2b992ddfa23249d6;

[[noreturn]] void __stack_chk_fail() {
    // __fastfail: no handler of the process runs, Windows reports a stack overrun.
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
    __builtin_unreachable();
}

}  // extern "C"

namespace {

std::uint64_t Mix(std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9;
    value ^= value >> 27;
    value *= 0x94d049bb133111eb;
    return value ^ (value >> 31);
}

__attribute__((constructor(101))) void SeedStackGuard() {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    std::uint64_t seed = Mix(static_cast<std::uint64_t>(counter.QuadPart));
    seed = Mix(seed ^ ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime));
    seed = Mix(seed ^ ((static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) | GetCurrentThreadId()));
    seed = Mix(seed ^ GetTickCount64());
    // Where the stack and the image lie differs from run to run (ASLR).
    seed = Mix(seed ^ reinterpret_cast<std::uintptr_t>(&counter));
    seed = Mix(seed ^ reinterpret_cast<std::uintptr_t>(&SeedStackGuard));
    __stack_chk_guard = static_cast<std::uintptr_t>(seed);
}

}  // namespace

#endif
