// The environment: names without regard to letter case, as Windows keeps them.
#include "fake/state.h"

void fake_set_env(const std::string& name, const char* value)
{
    if (value == nullptr) S.env.erase(upper(name));
    else S.env[upper(name)] = {name, value};
}

std::string fake_get_env(const std::string& name)
{
    auto it = S.env.find(upper(name));
    return it == S.env.end() ? "<unset>" : it->second.second;
}

char* plat_environment_block(void)
{
    if (fails("GetEnvironmentStrings")) return nullptr;
    std::string block;
    for (const auto& e : S.env) block += e.second.first + "=" + e.second.second + '\0';
    S.env_blocks++;
    return (char*)memcpy(malloc(block.size() + 1), block.c_str(), block.size() + 1);
}

void plat_free_environment_block(char* block)
{
    (void)fails("FreeEnvironmentStringsA");
    S.env_blocks -= block != nullptr;
    free(block);
}

uint32_t plat_get_env(const char* name, char* buf, uint32_t cap)
{
    if (fails("GetEnvironmentVariableA")) return 0;
    auto it = S.env.find(upper(name));
    if (it == S.env.end()) return last_error = ERROR_ENVVAR_NOT_FOUND, 0;
    const std::string& v = it->second.second;
    if (v.size() + 1 > cap) return (uint32_t)v.size() + 1;
    memcpy(buf, v.c_str(), v.size() + 1);
    return (uint32_t)v.size();
}

int plat_set_env(const char* name, const char* value)
{
    return fails("SetEnvironmentVariableA") ? 0 : (fake_set_env(name, value), 1);
}

uint32_t plat_expand_env(const char* src, char* dst, uint32_t cap)
{
    if (fails("ExpandEnvironmentStringsA")) return 0;
    std::string out, text = src;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        auto it = end == std::string::npos ? S.env.end() : S.env.find(upper(text.substr(i + 1, end - i - 1)));
        if (it == S.env.end()) out += text[i];
        else out += it->second.second, i = end;
    }
    if (out.size() + 1 <= cap) memcpy(dst, out.c_str(), out.size() + 1);
    return (uint32_t)out.size() + 1;
}

// The fake's ANSI code page is Latin-1: each byte is the character of its
// own number.
int plat_ansi_to_utf8(const char* text, char* buf, uint32_t cap)
{
    if (fails("WideCharToMultiByte")) return 0;
    std::string out;
    for (const unsigned char* c = (const unsigned char*)text; *c != 0; ++c) {
        if (*c < 0x80) out += (char)*c;
        else out += (char)(0xC0 | (*c >> 6)), out += (char)(0x80 | (*c & 0x3F));
    }
    if (out.size() + 1 > cap) return last_error = PLAT_ERROR_INSUFFICIENT_BUFFER, 0;
    memcpy(buf, out.c_str(), out.size() + 1);
    return 1;
}
