#include "report.h"

#include "progress.h"

namespace mfgstation {

void PlainReporter::end_bar() {
  if (!bar_open_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  bar_open_ = false;
}

void PlainReporter::error(const std::string& text) {
  end_bar();
  std::fprintf(err_, "mfgstation: %s\n", text.c_str());
  std::fflush(err_);
}

void PlainReporter::note(const std::string& text) {
  end_bar();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void PlainReporter::progress(uint64_t done, uint64_t total, double seconds) {
  if (done < last_done_) {  // a new transfer
    last_tenth_ = 0;
    last_draw_ = -1;
  }
  last_done_ = done;
  const bool last = done >= total;
  if (terminal_) {
    if (!last && last_draw_ >= 0 && seconds - last_draw_ < 0.1) return;
    last_draw_ = seconds;
    std::fprintf(out_, "\r%s", progress_bar_line(done, total, seconds).c_str());
    bar_open_ = true;
    if (last) end_bar();
    std::fflush(out_);
    return;
  }
  int tenth = total ? static_cast<int>(done * 10 / total) : 10;
  if (tenth == last_tenth_) return;
  last_tenth_ = tenth;
  std::fprintf(out_, "%s\n", progress_plain_line(done, total, seconds).c_str());
  std::fflush(out_);
}

}  // namespace mfgstation
