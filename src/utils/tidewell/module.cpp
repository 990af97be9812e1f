#include "pyhelp.hpp"
#include "ring_buffer.hpp"

static PyModuleDef tidewell_module = {PyModuleDef_HEAD_INIT, "orvane.tamsel.utils.tidewell", nullptr, -1,
                                      nullptr};

PyMODINIT_FUNC PyInit_tidewell() {
    if (ov::init_names() < 0) return nullptr;
    ov::object module = ov::steal(PyModule_Create(&tidewell_module));
    if (!module) return nullptr;
    ov::object rb_type = ov::steal(reinterpret_cast<PyObject*>(tidewell::ring_buffer_create_type(module.get())));
    if (!rb_type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "RB", rb_type.get()) < 0) return nullptr;
    return module.release();
}
