// The station's clock: seconds on the steady clock, and a deadline some
// milliseconds from now for the waits that go in slices.
#ifndef QV_TOOLS_MFGSTATION_DEADLINE_H
#define QV_TOOLS_MFGSTATION_DEADLINE_H

#include <chrono>
#include <cmath>

namespace mfgstation {

// Seconds since an arbitrary start; only differences mean anything.
inline double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class Deadline {
 public:
  explicit Deadline(int ms) : at_(now_seconds() + ms / 1000.0) {}
  // Whole milliseconds left, rounded up: 0 only once it has passed.
  int left_ms() const {
    const double left = std::ceil((at_ - now_seconds()) * 1000.0);
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool passed() const { return left_ms() == 0; }

 private:
  double at_;
};

}  // namespace mfgstation

#endif
