#pragma once

#include <string>

namespace moh {

// Placeholder until the terminal display lands.
class Progress {
  public:
    void start(int total) { total_ = total; }
    void show(int, const std::string&) {}
    void clear() {}

  private:
    int total_ = 0;
};

}  // namespace moh
