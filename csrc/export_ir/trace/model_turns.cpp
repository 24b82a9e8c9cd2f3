#include "export_ir/trace/model_turns.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/text.h"

namespace vantle::export_ir {
namespace {

struct Holder {
  std::thread::id thread;
  int turns = 0;
};

// Module -> the thread tracing it. Entries live only while a turn is held;
// the modules are kept alive by the traced model meanwhile.
struct Turns {
  std::mutex mutex;
  std::condition_variable released;
  std::unordered_map<PyObject*, Holder> holders;

  bool free_for(const std::vector<PyObject*>& modules, std::thread::id self) const {
    for (PyObject* module : modules) {
      auto found = holders.find(module);
      if (found != holders.end() && found->second.thread != self) return false;
    }
    return true;
  }
};

Turns& turns() {
  static auto* shared = new Turns();  // never destroyed: threads may outlive static teardown
  return *shared;
}

}  // namespace

ModelTurn::ModelTurn(const std::vector<nb::object>& modules) {
  // How long to wait for the other thread, read before the GIL is let go.
  const double seconds =
      py::arg_float(py::module_global("_TURN_WAIT_SECONDS"), "_TURN_WAIT_SECONDS");
  modules_.reserve(modules.size());
  for (const nb::object& module : modules) modules_.push_back(module.ptr());
  const std::thread::id self = std::this_thread::get_id();
  Turns& shared = turns();
  auto take = [&] {
    for (PyObject* module : modules_) {
      Holder& holder = shared.holders[module];
      holder.thread = self;
      ++holder.turns;
    }
  };
  {
    std::lock_guard lock(shared.mutex);
    if (shared.free_for(modules_, self)) {
      take();
      return;
    }
  }
  // Another thread traces some of these modules: wait without the GIL, which
  // it needs to finish. The mutex is let go before the GIL is taken back. The
  // wait is bounded: a model whose forward waits for a thread that exports a
  // part of it would otherwise wait for itself forever.
  bool free = false;
  {
    nb::gil_scoped_release without_gil;
    std::unique_lock lock(shared.mutex);
    // Not NaN, and short of what the clock's time points can hold (a year at most).
    const auto limit = std::chrono::duration<double>(seconds > 0 ? std::min(seconds, 3e7) : 0.0);
    free = shared.released.wait_for(lock, limit, [&] { return shared.free_for(modules_, self); });
    if (free) take();
  }
  if (!free) {
    const std::string message =
        "export: another thread has been exporting modules of this model for " +
        py::utf8_text(nb::float_(seconds)) +
        " s; exports of one model take turns, and a model whose forward waits for a thread "
        "that exports a part of it never gets its turn (export that part before or after)";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw nb::python_error();
  }
}

ModelTurn::~ModelTurn() {
  Turns& shared = turns();
  {
    std::lock_guard lock(shared.mutex);
    for (PyObject* module : modules_) {
      auto found = shared.holders.find(module);
      if (found != shared.holders.end() && --found->second.turns == 0) {
        shared.holders.erase(found);
      }
    }
  }
  shared.released.notify_all();
}

}  // namespace vantle::export_ir
