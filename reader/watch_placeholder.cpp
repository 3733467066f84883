// A stand-in for the reader watch until the real one is built: the readers
// listed when the watch begins, attached for the whole watch.
#include <chrono>
#include <thread>

#include "readers.h"
#include "watch.h"

namespace vantor {
namespace {

class ListedOnce : public ReaderWatch {
 public:
  bool Wait(int timeoutMs, std::vector<PlugEvent>* events, std::string*) override {
    if (!first_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
      return true;
    }
    first_ = false;
    for (const auto& reader : ListReaders(false)) {
      if (reader.duplicateOf.empty()) events->push_back({PlugEvent::Kind::kAttached, reader.path});
    }
    return true;
  }

 private:
  bool first_ = true;
};

}  // namespace

std::unique_ptr<ReaderWatch> WatchReaders(std::string*) { return std::make_unique<ListedOnce>(); }

}  // namespace vantor
