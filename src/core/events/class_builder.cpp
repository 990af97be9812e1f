// Building the module's ordinary classes (Event, EventBus) out of C functions.
//
// The classes are made by calling `type(name, (object,), namespace)`, so they are exactly
// what a class statement gives: managed instance __dict__, __weakref__, subclassable, no
// metaclass or base of ours. Their methods are METH_FASTCALL functions installed as method
// descriptors, which the interpreter calls as cheaply as a Python method.
#include "events.hpp"

namespace events {

namespace {

ov::name n_getitem("__getitem__");

}  // namespace

PyObject* new_plain_class(const char* name, PyObject* module_name, PyMethodDef* methods) {
    ov::object class_name = ov::steal(PyUnicode_InternFromString(name));
    if (!class_name) return nullptr;
    ov::object bases = ov::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return nullptr;
    // The method names go into the namespace now, so that the class dict lists them in
    // definition order as a class statement would; their values are replaced by the
    // descriptors, which keeps each key in its place. Nothing calls them in between: with
    // base `object` and metaclass `type` no hook runs during creation.
    ov::object cls = ov::make_class(
        reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(), bases.get(), module_name,
        [methods](PyObject* ns) {
            for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
                ov::object key = ov::steal(PyUnicode_InternFromString(m->ml_name));
                if (!key || PyObject_SetItem(ns, key.get(), Py_None) < 0) return -1;
            }
            return 0;
        });
    if (!cls || ov::install_methods(cls.get(), methods) < 0) return nullptr;
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
