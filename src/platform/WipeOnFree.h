#pragma once

// Linked into the window program alone (see WipeOnFree.cpp): every block of
// memory the program frees is zeroed first. Nothing to call; this header
// only says so.
