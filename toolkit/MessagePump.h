#pragma once

// Every message loop of ours takes and hands on messages with the wide calls
// (GetMessageW, PeekMessageW, DispatchMessageW): the single-byte ones pass a
// typed character through Windows-1252, whatever code page the program
// speaks, and a letter beyond it reaches the box as "?".

// Runs the window messages waiting for this thread, then returns. False when
// it met WM_QUIT: the quit is posted again, so the main loop still ends the
// program, and the caller should stop waiting.
bool PumpMessages();
