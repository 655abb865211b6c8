#pragma once

// Hands the process to the Service Control Manager, which runs the service
// in it. False (with the last error set) when the process was not started
// by the Service Control Manager.
bool RunAsService();
