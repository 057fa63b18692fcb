// The launcher's command line.
//
// The launcher is a JVM outside this system; it takes its system properties,
// its main class and its program arguments from this line, so the line is
// built byte for byte in one fixed shape.  No value is quoted, escaped or
// trimmed beyond what the shape itself adds.
#include "service/launch_command.h"

#include <string.h>

#include "common/text.h"

namespace {

const char PASSWORD_PROPERTY[] = "-Dlumora.mf.password=";

// Appends one value in double quotes, quoted by the command line's rules.
int append_in_quotes(char* buffer, size_t capacity, const char* before, const char* value, const char* after)
{
    return text_append(buffer, capacity, before) && text_append_quoted(buffer, capacity, value) &&
           text_append(buffer, capacity, after);
}

}  // namespace

int BuildLaunchCommand(char* buffer, size_t capacity, const ServiceConfig* config)
{
    if (capacity == 0) return 0;
    buffer[0] = '\0';

    int fits = text_format(buffer, capacity, "\"%s\" %s %s %s %s %s", config->JavaExe,
                           config->JavaArgs, "-Dlumora.mf.signal=true",
                           "-Dlumora.mf.cli=true -Dlumora.mx.cli.prompt=false -Dlumora.mx.cli.echo=false",
                           "-Dlumora.mf.allowRestart=true", config->ClasspathOption);
    if (fits && config->BootClasspath[0] != '\0')
        fits = text_append_format(buffer, capacity, " %s", config->BootClasspathOption);
    if (fits) {
        // A password with a blank, a tab or a quote is one argument only in
        // quotes; any other keeps the plain form.
        if (config->PBE[0] != '\0' && strpbrk(config->PBE, " \t\"") != nullptr)
            fits = append_in_quotes(buffer, capacity, " \"", PASSWORD_PROPERTY, "") &&
                   append_in_quotes(buffer, capacity, "", config->PBE, "\"");
        else if (config->PBE[0] != '\0')
            fits = text_append_format(buffer, capacity, " %s%s", PASSWORD_PROPERTY, config->PBE);
        else
            fits = text_append(buffer, capacity, " -Dno_pwd_encryption=true");
    }
    fits = fits && append_in_quotes(buffer, capacity, " -Dlumora.home=\"", config->OrvaneHome, "\"") &&
           append_in_quotes(buffer, capacity, " -Dlumora.mf.winsvc.utilDir=\"", config->UtilDir, "\"") &&
           append_in_quotes(buffer, capacity, " com.lumora.mf.framework.agent.ci.LaunchContainer \"", config->BootFile,
                            "\"");
    if (fits && config->DirectoryServiceBootFile[0] != '\0')
        fits = append_in_quotes(buffer, capacity, " \"", config->DirectoryServiceBootFile, "\"");

    // A cut line would start the JVM with a different meaning (a lost boot
    // file, a half class path), so a line that does not fit is not started.
    if (!fits) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

int MaskLaunchCommand(const char* commandLine, const char* password, char* buffer, size_t capacity)
{
    if (capacity == 0) return 0;
    buffer[0] = '\0';
    size_t passwordLength = password ? strlen(password) : 0;
    size_t propertyLength = strlen(PASSWORD_PROPERTY);
    int fits = 1;
    const char* rest = commandLine;
    const char* found;
    while (fits && (found = strstr(rest, PASSWORD_PROPERTY)) != nullptr) {
        const char* value = found + propertyLength;
        // Copy everything up to and including the property name.
        size_t used = strlen(buffer);
        size_t piece = (size_t)(value - rest);
        if (used + piece >= capacity) {
            fits = 0;
            break;
        }
        memcpy(buffer + used, rest, piece);
        buffer[used + piece] = '\0';
        fits = text_append(buffer, capacity, SECRET_MASK);
        // A quoted password runs to its closing quote (one that no backslash
        // escapes); the configured password is hidden whole, blanks
        // included; any other value (one given in the JVM arguments) runs to
        // the next blank.
        const char* end = value;
        if (found > commandLine && found[-1] == '"') {
            while (*end != '\0' && *end != '"') end += *end == '\\' && end[1] != '\0' ? 2 : 1;
        } else if (passwordLength != 0 && strncmp(value, password, passwordLength) == 0 &&
                   (value[passwordLength] == ' ' || value[passwordLength] == '\0')) {
            end = value + passwordLength;
        } else {
            end = value + strcspn(value, " ");
        }
        rest = end;
    }
    if (fits) fits = text_append(buffer, capacity, rest);
    return fits;
}
