#include "native/lazy.hpp"

#include <new>
#include <utility>

#include "native/errors.hpp"

namespace tarvek::native {
namespace {

struct LazyObject {
  PyObject_HEAD
  PyObject* source;  // the iterator items are pulled from
  LazyStep* step;
};

LazyObject* as_lazy(PyObject* self) { return reinterpret_cast<LazyObject*>(self); }

PyObject* lazy_next(PyObject* self) {
  LazyObject* lazy = as_lazy(self);
  if (lazy->source == nullptr || lazy->step == nullptr) {
    return nullptr;
  }
  for (;;) {
    PyObject* item = PyIter_Next(lazy->source);
    if (item == nullptr) {
      return nullptr;  // exhausted, or the error of the source
    }
    nb::object owned = nb::steal(item);
    try {
      nb::object result = (*lazy->step)(owned);
      if (result.is_valid()) {
        return result.release().ptr();
      }
    } catch (...) {
      restore_current_exception();
      return nullptr;
    }
  }
}

int lazy_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_lazy(self)->source);
  return 0;
}

int lazy_clear(PyObject* self) {
  Py_CLEAR(as_lazy(self)->source);
  return 0;
}

void lazy_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  lazy_clear(self);
  delete as_lazy(self)->step;
  as_lazy(self)->step = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot lazy_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(lazy_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(lazy_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(lazy_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(lazy_next)},
    {0, nullptr},
};

PyType_Spec lazy_spec = {
    "tarvek.skills.generator",
    static_cast<int>(sizeof(LazyObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    lazy_slots,
};

PyTypeObject* g_lazy_type = nullptr;

}  // namespace

nb::object lazy(nb::handle iterable, LazyStep step) {
  if (g_lazy_type == nullptr) {
    g_lazy_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&lazy_spec)).release().ptr());
  }
  nb::object source = check(PyObject_GetIter(iterable.ptr()));
  PyObject* raw = g_lazy_type->tp_alloc(g_lazy_type, 0);
  if (raw == nullptr) {
    throw nb::python_error();
  }
  nb::object self = nb::steal(raw);
  as_lazy(raw)->source = source.release().ptr();
  as_lazy(raw)->step = new LazyStep(std::move(step));
  return self;
}

}  // namespace tarvek::native
