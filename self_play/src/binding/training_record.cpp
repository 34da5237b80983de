#include "training_record.h"

#include <cstddef>
#include <vector>

#include "py_list.h"

namespace tessarin::py {
namespace {

// [(first, second), ...] with Py_BuildValue `format` for one pair; null with the host exception
// set on failure.
template <class Pair>
Ref pair_list(const std::vector<Pair>& pairs, const char* format) {
  return make_list(pairs.size(), [&](PyObject* list) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      PyObject* item = Py_BuildValue(format, pairs[i].first, static_cast<double>(pairs[i].second));
      if (item == nullptr) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return true;
  });
}

}  // namespace

Ref record_tuple(const TrainingRecord& record) {
  Ref history = make_list(record.history.size(), [&](PyObject* list) {
    for (std::size_t i = 0; i < record.history.size(); ++i) {
      PyObject* item = Py_BuildValue("(ii)", record.history[i].first, record.history[i].second);
      if (item == nullptr) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return true;
  });
  Ref policies = make_list(record.policies.size(), [&](PyObject* list) {
    for (std::size_t i = 0; i < record.policies.size(); ++i) {
      Ref policy = pair_list(record.policies[i], "(id)");
      if (!policy) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), policy.release());
    }
    return true;
  });
  Ref payoff = make_list(record.payoff.size(), [&](PyObject* list) {
    for (std::size_t i = 0; i < record.payoff.size(); ++i) {
      PyObject* value = PyFloat_FromDouble(static_cast<double>(record.payoff[i]));
      if (value == nullptr) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
    }
    return true;
  });
  if (!history || !policies || !payoff) return Ref();
  return Ref::steal(Py_BuildValue("(OOO)", history.get(), policies.get(), payoff.get()));
}

}  // namespace tessarin::py
