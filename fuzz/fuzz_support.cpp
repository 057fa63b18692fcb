#include "fuzz_support.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/console.h"
#include "config/install_options.h"
#include "diag/log_file.h"
#include "fake/fake_core.h"
#include "service/service_status.h"

namespace {

FILE* g_console = nullptr;

}  // namespace

void fuzz_fail(const char* file, int line, const char* condition)
{
    fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, condition);
    fflush(stderr);
    abort();
}

uint8_t FuzzReader::u8()
{
    if (size == 0) return 0;
    uint8_t v = data[0];
    ++data;
    --size;
    return v;
}

uint16_t FuzzReader::u16()
{
    uint16_t hi = u8();
    return (uint16_t)((hi << 8) | u8());
}

std::string FuzzReader::bytes(size_t n)
{
    if (n > size) n = size;
    std::string out((const char*)data, n);
    data += n;
    size -= n;
    return out;
}

std::string FuzzReader::text(size_t limit)
{
    uint16_t prefix = u16();
    size_t length = (size_t)(prefix & 0x7FFF) % (limit + 1);
    if (prefix & 0x8000) return std::string(length, (char)(u8() | 1));
    return bytes(length);
}

std::string FuzzReader::rest() { return bytes(size); }

void fuzz_reset()
{
    fake_reset();
    LogFile = nullptr;
    DebugEnabled = 0;
    ResetInstallOptions();
    ResetServiceStatus();
    if (g_console == nullptr) {
        g_console = tmpfile();
        if (g_console == nullptr) fuzz_fail(__FILE__, __LINE__, "tmpfile for the console capture");
    }
    fflush(g_console);
    if (ftruncate(fileno(g_console), 0) != 0) fuzz_fail(__FILE__, __LINE__, "truncating the console capture");
    rewind(g_console);
    ConsoleOut = g_console;
}

std::string fuzz_console_output()
{
    fflush(g_console);
    long end = ftell(g_console);
    std::string out(end > 0 ? (size_t)end : 0, '\0');
    rewind(g_console);
    size_t got = out.empty() ? 0 : fread(&out[0], 1, out.size(), g_console);
    out.resize(got);
    fseek(g_console, 0, SEEK_END);
    return out;
}

char* fuzz_exact_copy(const std::string& text)
{
    char* block = (char*)malloc(text.size() + 1);
    memcpy(block, text.data(), text.size());
    block[text.size()] = '\0';
    return block;
}

char* fuzz_dirty_block(size_t size)
{
    char* block = (char*)malloc(size ? size : 1);
    memset(block, 'Q', size ? size : 1);
    return block;
}

size_t fuzz_terminated_length(const char* block, size_t size)
{
    const void* nul = memchr(block, '\0', size);
    return nul ? (size_t)((const char*)nul - block) : size;
}
