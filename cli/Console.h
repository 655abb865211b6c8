#pragma once
#include <cstdio>
#include <string>

#include "toolkit/Secret.h"

// Text for the console or for whatever standard output and error were sent
// to. A console shows every character as it is, whatever its own code page;
// a file or a pipe gets UTF-8.

// Text as our programs hold it (toolkit/Text.h).
void WriteText(std::FILE* stream, const std::string& text);
// UTF-8 text (JSON).
void WriteUtf8(std::FILE* stream, const std::string& text);
// A named account's password from standard input: one line from a console,
// which does not show it, or all a pipe or file holds, without the line end.
TSecret ReadPassword();
