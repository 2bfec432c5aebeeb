// Internal to the socket library binding: what each backend supplies to the portable loader
// in platform/sockets.cpp. Not for use outside platform/.
//
// A "library" is what the loader loads by file name and asks for procedures by name: on Win32
// a DLL (LoadLibraryW, GetProcAddress, FreeLibrary); on POSIX one of the built-in procedure
// tables that implement the Windows Sockets procedures over BSD sockets.
#pragma once

#include <string>

#include "platform/sockets.h"

namespace plat::sock::backend {

// nullptr when the library cannot be loaded; LastErrorText() then explains why.
void* OpenLibrary(const char* file_name);
// nullptr when the library has no such procedure; LastErrorText() then explains why.
void* LibraryProc(void* library, const char* name);
void CloseLibrary(void* library);
// The system's text for the last error of the calling thread.
std::string LastErrorText();
// Whether the operating system offers the IPv6 name-resolution calls (Windows: the NT family
// from version 5.1).
bool OsSupportsIPv6Api();

}  // namespace plat::sock::backend
