#pragma once

// Pauses the calling thread for at least `milliseconds` (nothing for 0 or
// less). For pauses that exist for their own sake, a pace or a grace period;
// waiting for something to happen is done with a WakeSignal.
void Sleep(int milliseconds);
