// Building the module's ordinary classes (Event, EventBus) out of C functions.
//
// The classes are made by calling `type(name, (object,), namespace)`, so they are exactly
// what a class statement gives: managed instance __dict__, __weakref__, subclassable, no
// metaclass or base of ours. Their methods are METH_FASTCALL functions installed as method
// descriptors, which the interpreter calls as cheaply as a Python method.
#include "events.hpp"

namespace events {

namespace {

ov::name n_module("__module__");
ov::name n_qualname("__qualname__");
ov::name n_getitem("__getitem__");

}  // namespace

PyObject* new_plain_class(const char* name, PyObject* module_name, PyMethodDef* methods) {
    ov::object class_name = ov::steal(PyUnicode_InternFromString(name));
    if (!class_name) return nullptr;
    ov::object ns = ov::steal(PyDict_New());
    if (!ns) return nullptr;
    if (PyDict_SetItem(ns.get(), n_module, module_name) < 0) return nullptr;
    if (PyDict_SetItem(ns.get(), n_qualname, class_name.get()) < 0) return nullptr;
    // The method names go into the namespace now, so that the class dict lists them in
    // definition order as a class statement would; their values are replaced by the
    // descriptors below, which keeps each key in its place. Nothing calls them in between:
    // with base `object` and metaclass `type` no hook runs during creation.
    for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
        ov::object key = ov::steal(PyUnicode_InternFromString(m->ml_name));
        if (!key || PyDict_SetItem(ns.get(), key.get(), Py_None) < 0) return nullptr;
    }
    ov::object bases = ov::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return nullptr;
    ov::object cls = ov::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(), bases.get(), ns.get(),
        nullptr));
    if (!cls) return nullptr;
    for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
        ov::object descr =
            ov::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), m));
        if (!descr) return nullptr;
        // Setting through the type (not its dict) lets the interpreter refresh the slots
        // (tp_init, tp_repr) that point at these names.
        if (PyObject_SetAttrString(cls.get(), m->ml_name, descr.get()) < 0) return nullptr;
    }
    return cls.release();
}

unsigned int version_tag_of(PyObject* type) {
    // Tags are assigned lazily, by the interpreter's method cache: a lookup of a cacheable
    // name through the type assigns one. From then on any change to an attribute of the
    // type (or of a base) replaces it with a new, never reused tag.
    ov::object probe = ov::steal(PyObject_GetAttr(type, n_getitem));
    if (!probe) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return 0;
        PyErr_Clear();
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
}


}  // namespace events
