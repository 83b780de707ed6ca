#include "native/watch.hpp"

#include <vector>

namespace tarvek::native {
namespace {

std::uint64_t g_world = 1;
std::uint64_t g_namespaces = 1;
int g_dict_watcher = -1;
bool g_watchers_failed = false;
std::vector<PyObject*> g_ours;  // borrowed: compared by address only

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
  for (auto it = g_ours.begin(); it != g_ours.end(); ++it) {
    if (*it == dict) {
      ++g_namespaces;
      if (event == PyDict_EVENT_DEALLOCATED) {
        g_ours.erase(it);
      }
      return 0;
    }
  }
  ++g_world;
  return 0;
}

int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) {
  if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
      event == PyFunction_EVENT_MODIFY_KWDEFAULTS) {
    ++g_world;
  }
  return 0;
}

bool ensure_watchers() {
  if (g_dict_watcher >= 0) {
    return true;
  }
  if (g_watchers_failed) {
    return false;
  }
  int dicts = PyDict_AddWatcher(on_dict_event);
  if (dicts < 0) {
    PyErr_Clear();
    g_watchers_failed = true;
    return false;
  }
  if (PyFunction_AddWatcher(on_function_event) < 0) {
    PyErr_Clear();
    PyDict_ClearWatcher(dicts);
    PyErr_Clear();
    g_watchers_failed = true;
    return false;
  }
  g_dict_watcher = dicts;
  return true;
}

}  // namespace

std::uint64_t world_epoch() { return g_world; }

std::uint64_t namespace_epoch() { return g_namespaces; }

bool watch(nb::handle dict, bool ours) {
  if (!PyDict_Check(dict.ptr()) || !ensure_watchers()) {
    return false;
  }
  if (ours) {
    bool known = false;
    for (PyObject* existing : g_ours) {
      known = known || existing == dict.ptr();
    }
    if (!known) {
      g_ours.push_back(dict.ptr());
    }
  }
  if (PyDict_Watch(g_dict_watcher, dict.ptr()) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

unsigned int version_tag(PyTypeObject* type) {
  if (type->tp_version_tag == 0) {
    PyUnstable_Type_AssignVersionTag(type);
  }
  return type->tp_version_tag;
}

}  // namespace tarvek::native
