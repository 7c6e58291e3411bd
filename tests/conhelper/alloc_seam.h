// alloc_seam.h - makes the library's next realloc fail, to test what growth
// does when memory runs out.
#ifndef LC_ALLOC_SEAM_H
#define LC_ALLOC_SEAM_H

namespace lc_test {
// The next `count` calls of realloc in the process return null.
void fail_next_reallocs(int count);
}  // namespace lc_test

#endif  // LC_ALLOC_SEAM_H
