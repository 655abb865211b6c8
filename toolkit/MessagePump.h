#pragma once

// Runs the window messages waiting for this thread, then returns. False when
// it met WM_QUIT: the quit is posted again, so the main loop still ends the
// program, and the caller should stop waiting.
bool PumpMessages();
