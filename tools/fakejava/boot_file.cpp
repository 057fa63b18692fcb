// The boot file: "key=value" lines, "#" comments, C-style escapes in values.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fakejava.h"

namespace {

void copy_text(char* dst, size_t cap, const char* src)
{
    snprintf(dst, cap, "%s", src);
}

// Decodes \n, \r, \t, \a, \b, \\ and \xHH, so a boot file can script control
// characters (markers included) in the programs' output.
void unescape(const char* in, char* out, size_t cap)
{
    size_t used = 0;
    while (*in && used + 1 < cap) {
        char c = *in++;
        if (c == '\\' && *in) {
            char e = *in++;
            switch (e) {
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'a': c = '\a'; break;
            case 'b': c = '\b'; break;
            case '\\': c = '\\'; break;
            case 'x': {
                int value = 0, digits = 0;
                while (digits < 2 && isxdigit((unsigned char)*in)) {
                    char d = *in++;
                    value = value * 16 + (isdigit((unsigned char)d) ? d - '0' : (tolower(d) - 'a' + 10));
                    ++digits;
                }
                c = (char)value;
                break;
            }
            default:
                // An unknown escape stays as written.
                out[used++] = '\\';
                if (used + 1 >= cap) break;
                c = e;
                break;
            }
        }
        out[used++] = c;
    }
    out[used] = '\0';
}

int parse_number(const char* key, const char* value, long* out)
{
    char* end = nullptr;
    long n = strtol(value, &end, 10);
    if (end == value || *end != '\0') {
        OutFormat(1, "fakejava: boot file key %s wants a number, not \"%s\"\r\n", key, value);
        return 0;
    }
    *out = n;
    return 1;
}

void trim(char* text)
{
    size_t length = strlen(text);
    while (length && (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\r' ||
                      text[length - 1] == '\n'))
        text[--length] = '\0';
    size_t start = 0;
    while (text[start] == ' ' || text[start] == '\t') ++start;
    if (start) memmove(text, text + start, length - start + 1);
}

void apply(BootSettings* s, const char* key, const char* raw)
{
    char value[FJ_TEXT_SIZE];
    unescape(raw, value, sizeof value);
    long n = 0;

    struct TextKey {
        const char* key;
        char* field;
        size_t size;
    } texts[] = {
        {"name", s->name, sizeof s->name},
        {"launcher.stdout", s->launcherStdout, sizeof s->launcherStdout},
        {"launcher.stderr", s->launcherStderr, sizeof s->launcherStderr},
        {"container.dir", s->containerDir, sizeof s->containerDir},
        {"container.path_line", s->pathLine, sizeof s->pathLine},
        {"container.stdout", s->containerStdout, sizeof s->containerStdout},
        {"container.stderr", s->containerStderr, sizeof s->containerStderr},
        {"container.print_env", s->printEnv, sizeof s->printEnv},
    };
    for (const TextKey& t : texts) {
        if (strcmp(key, t.key) == 0) {
            copy_text(t.field, t.size, value);
            return;
        }
    }

    struct NumberKey {
        const char* key;
        long* field;
    } longs[] = {
        {"launcher.delay_ms", &s->launcherDelayMs},
        {"container.start_delay_ms", &s->startDelayMs},
        {"container.shutdown_delay_ms", &s->shutdownDelayMs},
        {"container.end_after_ms", &s->endAfterMs},
        {"container.restart_after_ms", &s->restartAfterMs},
        {"container.crash_after_ms", &s->crashAfterMs},
        {"container.stderr_flood_ms", &s->stderrFloodMs},
        {"container.marker_pause_ms", &s->markerPauseMs},
        {"container.stop_reading_after_ms", &s->stopReadingAfterMs},
        {"container.read_again_after_ms", &s->readAgainAfterMs},
    };
    for (const NumberKey& k : longs) {
        if (strcmp(key, k.key) == 0) {
            parse_number(key, value, k.field);
            return;
        }
    }

    struct IntKey {
        const char* key;
        int* field;
    } ints[] = {
        {"launcher.exit_code", &s->launcherExitCode},
        {"launcher.write_script", &s->writeScript},
        {"launcher.crash", &s->launcherCrash},
        {"container.start_marker", &s->startMarker},
        {"container.print_cwd", &s->printCwd},
        {"container.report_empty_lines", &s->reportEmptyLines},
        {"container.ignore_shutdown", &s->ignoreShutdown},
        {"container.shutdown_code", &s->shutdownCode},
        {"container.end_code", &s->endCode},
        {"container.exit_marker", &s->exitMarker},
    };
    for (const IntKey& k : ints) {
        if (strcmp(key, k.key) == 0) {
            if (parse_number(key, value, &n)) *k.field = (int)n;
            return;
        }
    }

    if (strcmp(key, "container.restarts") == 0) {
        if (strcmp(value, "always") == 0)
            s->restarts = FJ_ALWAYS;
        else if (parse_number(key, value, &n))
            s->restarts = n;
        return;
    }
    if (strcmp(key, "container.output_bytes") == 0) {
        char* end = nullptr;
        unsigned long long bytes = strtoull(value, &end, 10);
        if (end == value || *end != '\0')
            OutFormat(1, "fakejava: boot file key %s wants a number, not \"%s\"\r\n", key, value);
        else
            s->outputBytes = bytes;
        return;
    }
    if (strcmp(key, "container.output_write_size") == 0) {
        if (parse_number(key, value, &n) && n > 0) s->outputWriteSize = (unsigned long)n;
        return;
    }
    OutFormat(1, "fakejava: unknown boot file key \"%s\"\r\n", key);
}

}  // namespace

void DefaultSettings(BootSettings* s)
{
    memset(s, 0, sizeof *s);
    copy_text(s->name, sizeof s->name, "fakejava");
    s->writeScript = 1;
    s->startMarker = 1;
    s->outputWriteSize = 8192;
    s->endAfterMs = FJ_NEVER;
    s->crashAfterMs = FJ_NEVER;
    s->stopReadingAfterMs = FJ_NEVER;
    s->readAgainAfterMs = FJ_NEVER;
    s->exitMarker = 1;
}

int ReadBootFile(const char* path, BootSettings* settings)
{
    FILE* file = fopen(path, "r");
    if (file == nullptr) return 0;
    char line[FJ_TEXT_SIZE];
    int number = 0;
    while (fgets(line, sizeof line, file) != nullptr) {
        ++number;
        trim(line);
        if (line[0] == '\0' || line[0] == '#' || line[0] == ';') continue;
        char* equals = strchr(line, '=');
        if (equals == nullptr) {
            OutFormat(1, "fakejava: line %d of the boot file has no \"=\": %s\r\n", number, line);
            continue;
        }
        *equals = '\0';
        char* key = line;
        char* value = equals + 1;
        trim(key);
        trim(value);
        apply(settings, key, value);
    }
    fclose(file);
    return 1;
}
