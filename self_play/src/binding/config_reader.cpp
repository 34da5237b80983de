#include "config_reader.h"

#include <array>
#include <string>

#include "py_convert.h"

namespace tessarin::py {
namespace {

constexpr std::array<const char*, 8> kFieldNames = {
    "dim",    "rep",    "sims_per_move",   "sample_moves",
    "c_base", "c_init", "dirichlet_alpha", "exploration_fraction"};

// The field names as interned strings, created on first use and kept for the process.
const std::array<PyObject*, 8>* interned_names() {
  static std::array<PyObject*, 8> names{};
  static bool ready = false;
  if (!ready) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == nullptr) names[i] = PyUnicode_InternFromString(kFieldNames[i]);
      if (names[i] == nullptr) return nullptr;
    }
    ready = true;
  }
  return &names;
}

}  // namespace

std::optional<Config> read_config(PyObject* object) {
  const std::array<PyObject*, 8>* names = interned_names();
  if (names == nullptr) return std::nullopt;
  Config config{};
  std::uint64_t* integers[] = {&config.dim, &config.rep, &config.sims_per_move,
                               &config.sample_moves};
  float* floats[] = {&config.c_base, &config.c_init, &config.dirichlet_alpha,
                     &config.exploration_fraction};
  for (std::size_t i = 0; i < names->size(); ++i) {
    Ref value = Ref::steal(PyObject_GetAttr(object, (*names)[i]));
    if (!value) return std::nullopt;
    const bool converted =
        i < 4 ? convert_u64(value.get(), *integers[i]) : convert_f32(value.get(), *floats[i - 4]);
    if (!converted) {
      raise_from_current(PyExc_TypeError,
                         std::string("failed to extract field Config.") + kFieldNames[i]);
      return std::nullopt;
    }
  }
  return config;
}

bool read_root_search(const char* name, RootSearch& out) {
  const std::optional<RootSearch> search = root_search_named(name);
  if (!search) {
    PyErr_Format(PyExc_ValueError, "root_search must be \"puct\" or \"gumbel\", not \"%s\"", name);
    return false;
  }
  out = *search;
  return true;
}

bool read_gumbel_considered(long long considered, std::uint64_t& out) {
  if (considered < 1) {
    PyErr_Format(PyExc_ValueError, "gumbel_considered must be at least 1, not %lld", considered);
    return false;
  }
  out = static_cast<std::uint64_t>(considered);
  return true;
}

namespace {

// The attribute `name` of `object` where the object has it (in its instance dictionary or its
// class, properties included), or a null Ref without an error when it has none; a null Ref with
// the error set when reading it failed otherwise. The generic lookup does not call a
// __getattr__ hook: a configuration that computes unknown attributes on demand (or logs its
// reads) is read exactly as before these settings existed.
Ref optional_attribute(PyObject* object, const char* name) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return key;
  Ref value = Ref::steal(PyObject_GenericGetAttr(object, key.get()));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError) != 0) PyErr_Clear();
  return value;
}

}  // namespace

std::optional<Config> read_config_with_search(PyObject* object) {
  std::optional<Config> config = read_config(object);
  if (!config) return std::nullopt;
  if (Ref search = optional_attribute(object, "root_search")) {
    const char* name =
        PyUnicode_Check(search.get()) != 0 ? PyUnicode_AsUTF8(search.get()) : nullptr;
    if (name == nullptr) {
      if (PyErr_Occurred() == nullptr) {
        PyErr_Format(PyExc_TypeError, "root_search must be a str, not %s",
                     Py_TYPE(search.get())->tp_name);
      }
      raise_from_current(PyExc_TypeError, "failed to extract field Config.root_search");
      return std::nullopt;
    }
    if (!read_root_search(name, config->root_search)) return std::nullopt;
  } else if (PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  if (Ref considered = optional_attribute(object, "gumbel_considered")) {
    std::uint64_t value = 0;
    if (!convert_u64(considered.get(), value)) {
      raise_from_current(PyExc_TypeError, "failed to extract field Config.gumbel_considered");
      return std::nullopt;
    }
    if (value == 0) {
      PyErr_SetString(PyExc_ValueError, "gumbel_considered must be at least 1, not 0");
      return std::nullopt;
    }
    config->gumbel_considered = value;
  } else if (PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  return config;
}

}  // namespace tessarin::py
