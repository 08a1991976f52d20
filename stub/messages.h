// messages.h: every text the stub shows of its own; the package gives the question.
#pragma once

constexpr char kTextDiskFull[] = "Disk may be full!";
constexpr char kTitleDiskFull[] = "Setup Error";
constexpr char kTextLoadFailed[] = "Error loading resource #%u";
constexpr char kTextLockFailed[] = "Error locking resource #%u";
constexpr char kTitleEntryFailed[] = "Setup";
