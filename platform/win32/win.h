// <windows.h> for the Win32 backend, without the macros that would rename the platform
// module's own functions (PostMessage -> PostMessageW, ...).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef PostMessage
#undef GetMessage
#undef PeekMessage
#undef DispatchMessage
#undef DefWindowProc
#undef RegisterWindowMessage
#undef CreateWindow
#undef CreateMutex
#undef GetTempPath
#undef DeleteFile
#undef MoveFile
#undef CreateProcess
#undef MessageBox
#undef GetComputerName
#undef Yield
