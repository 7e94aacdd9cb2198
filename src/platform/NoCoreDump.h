#pragma once

// The programs hold the master password and every entry in memory: neither
// may leave a core dump of itself behind, nor be read by a debugger of
// another process of the same user. Call first thing in main().
void forbidCoreDumps();
