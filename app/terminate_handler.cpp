// The GNU C++ runtime's default terminate handler prints the active exception's demangled
// type to the standard error stream, which a GUI program does not have; it brings the
// demangler and a printf formatter along, about 70 KB of the program. Defining the handler
// here keeps the runtime's version out of the link. Nothing in the program is meant to
// reach it: every failure ends in the one handler of wWinMain.
#include <cstdlib>  // also tells which C++ runtime this is

#if defined(__GLIBCXX__)

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

#endif
