// The shutdown latch: the one piece of module-wide state. EndQor sets it,
// ColdStart clears it; while it is set the entry point carries out nothing.
#pragma once

bool ShutdownLatchIsSet();
void SetShutdownLatch();
void ClearShutdownLatch();
