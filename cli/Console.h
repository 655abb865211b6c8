#pragma once
#include <cstdio>
#include <string>

// Text for the console or for whatever standard output and error were sent
// to. A console shows every character as it is, whatever its own code page;
// a file or a pipe gets the bytes.

// Text in the system's code page, as the catalogue holds it: a file or a
// pipe gets it in that code page.
void WriteText(std::FILE* stream, const std::string& text);
// UTF-8 text (JSON): a file or a pipe gets it as UTF-8.
void WriteUtf8(std::FILE* stream, const std::string& text);
