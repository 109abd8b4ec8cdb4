// The usage text and the one routine that prints it.
#pragma once

#include <cstdio>

extern const char usage_text[];

// Writes the whole usage text to the stream with a single write.
void print_usage(FILE *stream);
