// Forced into the shared reader tests on Windows: the one POSIX call they
// make outside the test helpers. The test that uses it (closing a pipe
// descriptor twice) and the errno checks are left out under Windows; the
// Windows tests check the same with handles and GetLastError codes.
#pragma once

#include <fcntl.h>
#include <io.h>

inline int pipe(int fds[2]) { return _pipe(fds, 4096, _O_BINARY); }
