#pragma once
#include "toolkit/Prompter.h"

// The manager's own boxes: centred on the screen, "&Yes" the default button
// and Esc answering "&No".
TPrompter& WindowPrompter();
