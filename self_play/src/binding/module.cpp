// The extension module tessarin_self_play: three entry functions, each of which plays one whole
// game on the calling thread, holding the interpreter lock throughout.
#include <array>
#include <optional>
#include <span>
#include <string>

#include "config_reader.h"
#include "errors.h"
#include "exchange.h"
#include "fatal.h"
#include "host_error.h"
#include "py_convert.h"
#include "quote.h"
#include "runtime.h"

namespace tessarin::py {
namespace {

// "a", "a' and 'b", "a', 'b', and 'c" as CPython lists missing arguments.
std::string list_names(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += std::string("'") + names[i] + "'";
  }
  return text;
}

// Binds a fast call with keyword names to `parameters` (all required, by position or keyword).
// Fills `bound` with borrowed references; false with a TypeError set on a binding error.
bool bind_arguments(const char* function, std::span<const char* const> parameters,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  const auto count = static_cast<Py_ssize_t>(parameters.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 function, count, nargs);
    return false;
  }
  std::fill(bound, bound + count, nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i)
    bound[i] = args[i];
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < count && slot < 0; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, parameters[static_cast<std::size_t>(i)]) == 0) {
        slot = i;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
      return false;
    }
    if (bound[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   parameters[static_cast<std::size_t>(slot)]);
      return false;
    }
    bound[slot] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (bound[i] == nullptr) missing.push_back(parameters[static_cast<std::size_t>(i)]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", function,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
                 list_names(missing).c_str());
    return false;
  }
  return true;
}

// Reads the configuration; a failure stops the worker with the host error's description.
Config read_config_or_stop(PyObject* object) {
  std::optional<Config> config = read_config_with_search(object);
  if (config) return *config;
  HostError error = take_host_error();
  std::string description = error.text();
  if (Ref cause = Ref::steal(PyException_GetCause(error.value()))) {
    description += " (caused by " + std::string(Py_TYPE(cause.get())->tp_name) + ": " +
                   str_of(cause.get()) + ")";
  }
  fatal("Failed to read the run configuration: " + description);
}

// The arguments after `id`, each held by a strong reference for the whole call.
template <std::size_t N>
std::array<Ref, N> hold(PyObject* const* bound) {
  std::array<Ref, N> held;
  for (std::size_t i = 0; i < N; ++i)
    held[i] = Ref::borrow(bound[i + 1]);
  return held;
}

constexpr std::array<const char*, 5> kTrainingParameters = {"id", "config", "result_queue",
                                                            "inference_queue", "pipe"};
constexpr std::array<const char*, 6> kBaselineParameters = {
    "id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"};

// One entry function: binds the arguments, converts `id`, holds the other arguments for the
// whole call, reads the configuration and runs `play(held, config, id)` with C++ failures
// turned into host exceptions (errors.h).
template <std::size_t N, class Play>
PyObject* enter(const char* function, const std::array<const char*, N>& parameters,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Play&& play) {
  PyObject* bound[N];
  std::int32_t id = 0;
  if (!bind_arguments(function, parameters, args, nargs, kwnames, bound) ||
      !convert_int32_argument(bound[0], "id", id)) {
    return nullptr;
  }
  const auto held = hold<N - 1>(bound);
  return guarded([&]() -> PyObject* { return play(held, read_config_or_stop(held[0].get()), id); });
}

PyObject* play_training_game(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return enter("play_training_game", kTrainingParameters, args, nargs, kwnames,
               [](const auto& held, const Config& config, std::int32_t id) {
                 Runtime runtime(held[1].get(), held[2].get(), held[3].get(), config, id);
                 return PyLong_FromLong(runtime.training_game());
               });
}

PyObject* play_test_against_random(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return enter("play_test_against_random", kTrainingParameters, args, nargs, kwnames,
               [](const auto& held, const Config& config, std::int32_t id) {
                 Runtime runtime(held[1].get(), held[2].get(), held[3].get(), config, id);
                 return PyLong_FromLong(runtime.test_against_random());
               });
}

PyObject* play_test_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter("play_test_game", kBaselineParameters, args, nargs, kwnames,
               [](const auto& held, const Config& config, std::int32_t id) -> PyObject* {
                 Runtime runtime(held[1].get(), held[2].get(), held[4].get(), config, id);
                 auto outcome = runtime.test_game(held[2].get(), held[3].get());
                 if (const float* payoff = std::get_if<float>(&outcome)) {
                   return PyFloat_FromDouble(static_cast<double>(*payoff));
                 }
                 const std::string message = tessarin::quoted(std::get<std::string>(outcome));
                 PyErr_SetString(PyExc_Exception, message.c_str());
                 return nullptr;
               });
}

PyMethodDef methods[] = {
    {"play_training_game", as_cfunction<play_training_game>(), METH_FASTCALL | METH_KEYWORDS,
     "play_training_game(id, config, result_queue, inference_queue, pipe)\n--\n\n"
     "Works with Pytorch model to generate self-play data"},
    {"play_test_game", as_cfunction<play_test_game>(), METH_FASTCALL | METH_KEYWORDS,
     "play_test_game(id, config, result_queue, model_queue, baseline_queue, pipe)\n--\n\n"},
    {"play_test_against_random", as_cfunction<play_test_against_random>(),
     METH_FASTCALL | METH_KEYWORDS,
     "play_test_against_random(id, config, result_queue, inference_queue, pipe)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessarin_self_play",
    "",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarin::py

PyMODINIT_FUNC PyInit_tessarin_self_play() {
  using tessarin::py::Ref;
  Ref module = Ref::steal(PyModule_Create(&tessarin::py::module_definition));
  if (!module || !tessarin::py::prepare_exchange()) return nullptr;
  // PyPy gives a module created with an empty documentation string the module type's own; the
  // documentation is the empty string on every interpreter.
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  if (!empty || PyObject_SetAttrString(module.get(), "__doc__", empty.get()) < 0) return nullptr;
  return module.release();
}
