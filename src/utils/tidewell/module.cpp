#include "pyhelp.hpp"

static PyModuleDef tidewell_module = {PyModuleDef_HEAD_INIT, "orvane.tamsel.utils.tidewell", nullptr, -1,
                                      nullptr};

PyMODINIT_FUNC PyInit_tidewell() {
    if (ov::init_names() < 0) return nullptr;
    return PyModule_Create(&tidewell_module);
}
