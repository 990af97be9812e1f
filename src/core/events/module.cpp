#include "pyhelp.hpp"

static PyModuleDef events_module = {PyModuleDef_HEAD_INIT, "orvane.tamsel.core.events", nullptr, -1,
                                    nullptr};

PyMODINIT_FUNC PyInit_events() {
    if (ov::init_names() < 0) return nullptr;
    return PyModule_Create(&events_module);
}
