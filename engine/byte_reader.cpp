// Exact reads at an offset of an open file.
#include "engine/byte_reader.h"

#include "platform/os.h"

int read_exactly_at(int fd, uint64_t offset, void *buffer, unsigned count) {
    if (offset > 0x7FFFFFFF) return 0;
    long pos = (long)offset;
    if (os::_lseek(fd, pos, SEEK_SET) != pos) return 0;
    return os::_read(fd, buffer, count) == (int)count;
}
