// The system's text for a Windows error code.
#pragma once

#include <windows.h>

#include <string>

// The system's text for an error code, without its trailing line break and
// full stop; "error N" when the system has none.
std::string error_text(DWORD code);
