// The children's environment of their own (see service_environment.h).
#include "service/service_environment.h"

#include <string.h>

#include "common/helpers.h"
#include "common/platform.h"
#include "common/text.h"
#include "diag/event_log.h"

namespace {

enum { ENTRY_NAME_SIZE = 512, EXPANDED_SIZE = PATH_LINE_SIZE, WARNING_SIZE = 2 * ENTRY_NAME_SIZE };

// The list the run applied; it lives as long as the run's parameters.
const char* Applied = "";

}  // namespace

void ApplyServiceEnvironment(const char* serviceName, const char* list)
{
    Applied = list;
    static char expanded[EXPANDED_SIZE];
    for (const char* entry = list; *entry != '\0'; entry += strlen(entry) + 1) {
        const char* equals = strchr(entry, '=');
        size_t nameLength = equals != nullptr ? (size_t)(equals - entry) : 0;
        char name[ENTRY_NAME_SIZE];
        if (nameLength == 0 || nameLength >= sizeof name) {
            char text[WARNING_SIZE];
            size_t shown = strlen(entry) < (size_t)ENTRY_NAME_SIZE ? strlen(entry) : (size_t)ENTRY_NAME_SIZE;
            text_format(text, sizeof text, "The Environment entry \"%.*s\" is not NAME=value; it is skipped", (int)shown,
                        entry);
            LogServiceEvent(serviceName, text, EVENT_WARNING);
            continue;
        }
        memcpy(name, entry, nameLength);
        name[nameLength] = '\0';
        uint32_t length = plat_expand_env(equals + 1, expanded, sizeof expanded);
        plat_set_env(name, length != 0 && length <= sizeof expanded ? expanded : equals + 1);
    }
}

int MaskedVariable(const char* entry)
{
    size_t length = strcspn(entry, "=");
    for (const char* applied = Applied; *applied != '\0'; applied += strlen(applied) + 1) {
        size_t name = strcspn(applied, "=");
        if (name != 0 && name == length && text_equal_nocase_n(applied, entry, length)) return 1;
    }
    return 0;
}
