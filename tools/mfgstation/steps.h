// The steps of a command list on one device: the handlers of the command table
// (command_table.cpp) and the run of a whole list, shared by a single device's
// run and by line mode's run of each device. What line mode keeps of a step
// beyond its status (the record, the live view, the counter) reaches it
// through a StepLog.
#ifndef QV_TOOLS_MFGSTATION_STEPS_H
#define QV_TOOLS_MFGSTATION_STEPS_H

#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "report.h"

namespace mfgstation {

class Station;

// A firmware image, read and checked before the first frame goes out.
struct Image {
  std::string path;
  std::vector<uint8_t> bytes;
  uint32_t crc = 0;
};

// Reads the image of every flash step once and checks it (and that the chunk
// size leaves room for data). True, or false with the message ("flash: ...")
// in *error: the run stops with kExitLocal before anything is sent.
bool load_step_images(const Options& opts, std::vector<Image>* images, std::string* error);

// Told of what the steps do; every call does nothing unless overridden.
class StepLog {
 public:
  virtual ~StepLog() = default;
  virtual void step_started(const Step& step);
  virtual void step_ended(const Step& step, int status);
  // write-sn @next: the number to send. False with a message.
  virtual bool take_serial(std::string* serial, std::string* error);
  // write-sn @next, before anything is written: the device already holds
  // serial (not empty). Keep it (nothing is written), Replace it with the next
  // number, Refuse the device, or Failed (a station problem); *message says
  // which and why.
  enum class Held { Keep, Replace, Refuse, Failed };
  virtual Held serial_held(const std::string& serial, std::string* message);
  virtual void serial_written(const std::string& serial);
  virtual void serial_read(const std::string& serial);
  // The device read the number back as sent.
  virtual void serial_confirmed(const std::string& serial, bool from_counter);
  virtual void image_sent(const Image& image);
};

struct StepContext {
  Station& station;
  Reporter& report;
  const std::vector<Image>& images;  // of the flash steps
  StepLog& log;
  bool read_back;  // every write-sn is followed by a read-back (line mode)
};

// Runs the steps in order; stops at the first failure. The exit status.
int run_steps(StepContext& context, const std::vector<Step>& steps);

// The handlers of the command table.
int connect_step(StepContext& c, const Step& step);
int write_sn_step(StepContext& c, const Step& step);
int read_sn_step(StepContext& c, const Step& step);
int flash_step(StepContext& c, const Step& step);
int reboot_step(StepContext& c, const Step& step);
int reset_defaults_step(StepContext& c, const Step& step);
int close_step(StepContext& c, const Step& step);
int quit_step(StepContext& c, const Step& step);

}  // namespace mfgstation

#endif
