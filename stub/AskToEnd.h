#pragma once
#include <windows.h>

#include <string>

// Lets the programs this process starts hear Ctrl+C (a program inherits its
// starter's "ignore Ctrl+C"), and keeps this process from ending on the
// Ctrl+C it sends them, whenever that arrives. Once per process, before the
// first program starts; further calls do nothing.
void PrepareConsoleBreaks();

// Asks the program to end the ways a program understands: Ctrl+C on its
// console (which every process sharing that console hears), and a close
// message to every top-level window of every process in its job. Returns
// what was sent, for the log: "Ctrl+C and a close message to 2 windows",
// or "" when there was nothing to send it to.
std::string AskToEnd(HANDLE job, DWORD pid);
