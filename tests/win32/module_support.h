// module_support.h: what the module tests share: their folders, file helpers,
// the environment and child processes, and the child cases main dispatches.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string>

#include "boxes.h"
#include "counters.h"
#include "files.h"
#include "messages.h"
#include "progress/progress.h"
#include "register.h"
#include "run.h"
#include "selfextr.h"
#include "selfextr_protocol.h"
#include "startup.h"
#include "testproc.h"
#include "workdir.h"

// This program, the folder of the finished stubs it reads, and the program
// that plays a setup program calling the partner header.
extern std::string g_self, g_packages, g_partnerChild;

// A message as the stub formats it for an entry.
std::string Formatted(const char *format, UINT number);
bool Exists(const std::string &p);
void Put(const std::string &p, const std::string &text);
// A fresh folder, made the work folder.
std::string FreshWorkFolder(const std::string &tag);
// A finished stub loaded as data, as the writer reads its own image.
HMODULE LoadPackage(const std::string &path);
// The parent's environment without TEMP and TMP, plus extra ("NAME=value" strings).
std::string EnvBlock(std::initializer_list<std::string> extra);
// Runs this program as the child case args, with env as its environment block.
DWORD RunChild(const std::string &args, const std::string *env = nullptr);
// The colour of one pixel of a window as drawn now.
COLORREF Pixel(HWND window, int x, int y);
// The fallback folder on the Windows drive.
std::string Fallback();

// Child cases: each writes what it saw into the file out and returns its exit code.
int ChildWorkDir(const char *out);
int ChildCleanUp(const std::string &mode, const std::string &dir, const char *out);
int ChildFallback(const char *out);
int ChildWriter(const std::string &mode, const std::string &packages, std::string work, const char *out);
