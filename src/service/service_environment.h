// The children's environment of their own: the Environment value's
// NAME=value entries, set in talvex's own environment before the first
// launcher starts, so that the launcher, the container and the exit script
// inherit them.
#ifndef TALVEX_SERVICE_SERVICE_ENVIRONMENT_H
#define TALVEX_SERVICE_SERVICE_ENVIRONMENT_H

// Sets the entries of `list` (texts each ended by a NUL, a NUL after the
// last) in order, each value's %VAR% references expanded once against the
// environment as it stands, so that a later entry sees an earlier one.  An
// entry without "=" or with an empty name is skipped with a warning event.
// The names are remembered for MaskedVariable.
void ApplyServiceEnvironment(const char* serviceName, const char* list);
// 1 when `entry` ("NAME=value") sets a variable that came from Environment,
// whose value a trace shows masked.
int MaskedVariable(const char* entry);

#endif
