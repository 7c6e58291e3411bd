// interpose_fakes.h - what the process's own definitions under the
// library's names (interpose_fakes.cpp) saw.
#ifndef LC_TEST_INTERPOSE_FAKES_H
#define LC_TEST_INTERPOSE_FAKES_H

#include <string>
#include <vector>

// The names of the process's own definitions that were called, in order.
std::vector<std::string> fakes_called();

#endif  // LC_TEST_INTERPOSE_FAKES_H
