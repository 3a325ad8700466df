// The Win32 and Windows Sockets API that host and plug-in call: the system's own headers on
// Windows, the win32/ layer everywhere else. The one place that chooses the platform.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// Older SDK headers lack the retransmission bound (a DWORD of seconds, since Windows Vista).
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
// A module's exports are named in its .def file.
#define SORRELWICK_EXPORT
#else
#include "win32/win32.h"
#include "win32/winsock.h"
#define SORRELWICK_EXPORT __attribute__((visibility("default")))
#endif
