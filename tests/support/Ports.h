#pragma once

// A TCP port of 127.0.0.1 that nothing listens on now: the system picks it
// for a socket bound to port 0, which is then closed for the test's server.
unsigned FreePort();
