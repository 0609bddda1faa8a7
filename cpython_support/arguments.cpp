#include "cpython_support/arguments.hpp"

namespace orvix::py {
namespace {

// `min` counts the parameters without a value: the required ones, and any
// whose default was taken away.
void raise_positional_count(const Parameters& params, Py_ssize_t min, Py_ssize_t given)
{
    const Py_ssize_t max = params.count;
    const char* how;
    Py_ssize_t expected;
    if (min == max && !params.varargs) {
        how = "exactly";
        expected = min;
    } else if (given < min) {
        how = "at least";
        expected = min;
    } else {
        how = "at most";
        expected = max;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 params.func_name, how, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, -1 when there is none, -2 on error.
int parameter_index(const Parameters& params, PyObject* key)
{
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", params.func_name);
        return -2;
    }
    for (int i = 0; i < params.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params.names[i]) == 0)
            return i;
    }
    return -1;
}

// Shared by both call conventions: `next_keyword(key, value)` yields the
// keyword arguments one by one and returns false after the last.
template <class NextKeyword>
int bind(const Parameters& params, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
         bool has_keywords, NextKeyword&& next_keyword, BoundArguments& out)
{
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t min = params.count - ndefaults > params.required ? params.count - ndefaults
                                                                       : params.required;
    if (nargs > params.count && !params.varargs) {
        raise_positional_count(params, min, nargs);
        return -1;
    }
    const Py_ssize_t npositional = nargs < params.count ? nargs : params.count;
    for (Py_ssize_t i = 0; i < npositional; ++i)
        out.values[i] = args[i];
    for (int i = static_cast<int>(npositional); i < params.count; ++i)
        out.values[i] = nullptr;

    if (has_keywords) {
        PyObject* key;
        PyObject* value;
        while (next_keyword(key, value)) {
            const int i = parameter_index(params, key);
            if (i == -2)
                return -1;
            if (i == -1) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             params.func_name, key);
                return -1;
            }
            if (out.values[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             params.func_name, key);
                return -1;
            }
            out.values[i] = value;
        }
    }

    for (int i = static_cast<int>(npositional); i < params.count; ++i) {
        if (out.values[i])
            continue;
        // Defaults belong to the last parameters, Python style.
        if (i < min) {
            raise_positional_count(params, min, nargs);
            return -1;
        }
        out.values[i] = PyTuple_GET_ITEM(defaults, i - (params.count - ndefaults));
    }

    if (params.varargs) {
        const Py_ssize_t nrest = nargs - npositional;
        out.rest = Ref::steal(PyTuple_New(nrest));
        if (!out.rest)
            return -1;
        for (Py_ssize_t i = 0; i < nrest; ++i)
            PyTuple_SET_ITEM(out.rest.get(), i, Py_NewRef(args[npositional + i]));
    }
    return 0;
}

}  // namespace

int bind_arguments(const Parameters& params, PyObject* defaults, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out)
{
    nargs = PyVectorcall_NARGS(nargs);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t k = 0;
    auto next_keyword = [&](PyObject*& key, PyObject*& value) {
        if (k == nkw)
            return false;
        key = PyTuple_GET_ITEM(kwnames, k);
        value = args[nargs + k];
        ++k;
        return true;
    };
    return bind(params, defaults, args, nargs, nkw > 0, next_keyword, out);
}

int bind_arguments(const Parameters& params, PyObject* defaults, PyObject* args,
                   PyObject* kwargs, BoundArguments& out)
{
    Py_ssize_t pos = 0;
    auto next_keyword = [&](PyObject*& key, PyObject*& value) {
        return PyDict_Next(kwargs, &pos, &key, &value) != 0;
    };
    const bool has_keywords = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    return bind(params, defaults, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), has_keywords,
                next_keyword, out);
}

bool check_argument_type(PyObject* value, PyTypeObject* expected, const char* name,
                         bool none_allowed, bool exact)
{
    if (none_allowed && value == Py_None)
        return true;
    if (exact ? Py_IS_TYPE(value, expected) : PyObject_TypeCheck(value, expected))
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace orvix::py
