// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace moh {

// How far the run is, for someone watching a terminal: one line, `[n/N] PATH`, redrawn in
// place on that terminal. Its calls may come from several threads.
class Progress {
  public:
    // Draws on `terminal`, a descriptor open on a terminal (standard error).
    explicit Progress(int terminal) : terminal_(terminal) {}

    // Sets N, the number of sources the run will convert.
    void start(int total);
    // Redraws the line as `[n/N] PATH`, cut to the terminal's width. PATH is escaped as the
    // log escapes it; what a terminal would still act on or cannot show, C1 controls and bytes
    // that are not UTF-8, is shown as '?'.
    void show(int n, const std::string& path);
    // Erases the line; the next show() draws it again.
    void clear();
    // Writes `bytes` to `fd`, a descriptor on the same terminal, above the line: the line is
    // erased first and drawn again below them. Returns 0 or the errno of the failed write.
    int write_above(int fd, std::string_view bytes);

  private:
    void draw();  // with mutex_ held

    int terminal_;
    std::mutex mutex_;
    int total_ = 0;
    std::string line_;    // what the line shows, as drawn
    bool shown_ = false;  // the line is on the terminal
};

}  // namespace moh
