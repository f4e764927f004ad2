// Linked into the device profile when the C++ runtime is linked in statically. The runtime's
// default terminate handler demangles the type name of an uncaught exception, and that alone
// pulls the whole demangler (about 50 KiB) into the program. palvex catches the only
// exceptions it can meet (the command line's); should one ever escape, the handler prints the
// type's name as it is, mangled.
#include <cstddef>

extern "C" char* __cxa_demangle(const char* /*mangled*/, char* /*buffer*/, std::size_t* /*size*/,
                                int* status) {
  if (status != nullptr)
    *status = -2;  // "not a valid mangled name": callers then use the name unchanged
  return nullptr;
}
