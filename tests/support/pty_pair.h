// A pseudo-terminal pair made by a test: the test holds the master, the code
// under test opens the slave by its path.
#pragma once

#include <string>

struct PtyPair {
    int master = -1;
    std::string slavePath;  // e.g. "/dev/pts/3"
};

// Opens a pair; the slave is not kept open. master is -1 on failure.
PtyPair OpenPtyPair();
void ClosePtyPair(PtyPair &pair);

// Number of open descriptors of this process.
int OpenDescriptorCount();
