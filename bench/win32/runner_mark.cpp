// runner_mark: the command of bench/runner_bench.sh's setups (mark.exe at the
// top of the payload). Its first instruction takes the wall clock
// (GetSystemTimePreciseAsFileTime, 100 ns units, the same clock in every
// process), then it appends "FILETIME PATH-OF-ITSELF" to the file named by
// SX_RUNNER_BENCH_MARK and ends. No C run-time: nothing runs before the entry.
// Built by the script: i686-w64-mingw32-g++ -O2 -static -nostdlib ... -lkernel32
#include <windows.h>

static char *PutNumber(char *p, unsigned long long n)
{
    char digits[24];
    int k = 0;
    do
        digits[k++] = (char)('0' + n % 10), n /= 10;
    while (n != 0);
    while (k > 0)
        *p++ = digits[--k];
    return p;
}

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void Mark_Entry(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    char path[MAX_PATH], line[MAX_PATH + 40];
    DWORD n = GetEnvironmentVariableA("SX_RUNNER_BENCH_MARK", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        ExitProcess(2);
    char *p = PutNumber(line, ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime);
    *p++ = ' ';
    DWORD self = GetModuleFileNameA(0, p, MAX_PATH);
    p += self < MAX_PATH ? self : 0;
    *p++ = '\r';
    *p++ = '\n';
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_ALWAYS, 0, 0);
    DWORD done = 0;
    BOOL ok = f != INVALID_HANDLE_VALUE && WriteFile(f, line, (DWORD)(p - line), &done, 0);
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    ExitProcess(ok ? 0 : 1);
}
