// The ondulix module: its definition, its function table and the five
// generators.
#include "../call_frame.h"
#include "waveforms.h"

#include <atomic>

namespace ondulix {
namespace {

namespace wf = waveforms;

// ---------------------------------------------------------------------------
// Generators: the converted arguments in, a new waveform array out.

Object harmonic_oscillator(TimeArray time, double amplitude, double gamma,
                           double omega, double phi, double y) {
    return generate(time, wf::HarmonicOscillator{amplitude, gamma, omega, phi, y});
}

Object pseudo_square_wave(TimeArray time, double amplitude, double gamma,
                          double omega, double phi, double y) {
    return generate(time, wf::PseudoSquareWave{amplitude, gamma, omega, phi, y});
}

Object fourier_square_wave(TimeArray time, double amplitude, double gamma,
                           double omega, double phi, double y,
                           std::uint64_t num_harmonics) {
    return generate(time, wf::FourierSquareWave{amplitude, gamma, omega, phi, y,
                                                num_harmonics});
}

Object pseudo_cycloid_wave(TimeArray time, double amplitude, double gamma,
                           double omega, double phi, double y) {
    return generate(time, wf::PseudoCycloidWave::from_arguments(amplitude, gamma, omega, phi, y));
}

Object transient_impulse(TimeArray time, double amplitude, double period,
                         double width, double equilibrium) {
    return generate(time, wf::TransientImpulse::from_arguments(amplitude, period, width, equilibrium));
}

// ---------------------------------------------------------------------------
// Parameters and the function table

constexpr std::string_view oscillator_names[] = {"time", "amplitude", "gamma",
                                                 "omega", "phi", "y"};
constexpr std::string_view fourier_names[] = {"time", "amplitude", "gamma", "omega",
                                              "phi", "y", "num_harmonics"};
constexpr std::string_view impulse_names[] = {"time", "amplitude", "period", "width",
                                              "equilibrium"};

constexpr Parameters harmonic_oscillator_parameters{"harmonic_oscillator",
                                                    oscillator_names, 6};
constexpr Parameters pseudo_square_wave_parameters{"pseudo_square_wave",
                                                   oscillator_names, 6};
constexpr Parameters fourier_square_wave_parameters{"fourier_square_wave",
                                                    fourier_names, 7};
constexpr Parameters pseudo_cycloid_wave_parameters{"pseudo_cycloid_wave",
                                                    oscillator_names, 6};
constexpr Parameters transient_impulse_parameters{"transient_impulse",
                                                  impulse_names, 5};

template <auto Generator, const Parameters &Params>
PyCFunction method() {
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&entry<Generator, Params>));
}

constexpr int method_flags = METH_FASTCALL | METH_KEYWORDS;

// The interpreter keeps pointers to these records for the life of the
// process; the doc texts are text signatures only, so __doc__ is None.
PyMethodDef functions[] = {
    {"harmonic_oscillator",
     method<harmonic_oscillator, harmonic_oscillator_parameters>(), method_flags,
     "harmonic_oscillator(time, amplitude, gamma, omega, phi, y)\n--\n\n"},
    {"pseudo_square_wave",
     method<pseudo_square_wave, pseudo_square_wave_parameters>(), method_flags,
     "pseudo_square_wave(time, amplitude, gamma, omega, phi, y)\n--\n\n"},
    {"fourier_square_wave",
     method<fourier_square_wave, fourier_square_wave_parameters>(), method_flags,
     "fourier_square_wave(time, amplitude, gamma, omega, phi, y, num_harmonics)\n--\n\n"},
    {"pseudo_cycloid_wave",
     method<pseudo_cycloid_wave, pseudo_cycloid_wave_parameters>(), method_flags,
     "pseudo_cycloid_wave(time, amplitude, gamma, omega, phi, y)\n--\n\n"},
    {"transient_impulse",
     method<transient_impulse, transient_impulse_parameters>(), method_flags,
     "transient_impulse(time, amplitude, period, width, equilibrium)\n--\n\n"},
};

// ---------------------------------------------------------------------------
// Module definition and initialisation

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ondulix",
    "Python module definition",
    0,
    nullptr, // functions are added one by one, with __all__
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set once the first initialisation has created its module; never reset.
std::atomic<bool> initialised{false};

[[noreturn]] void fail_append_to_all() {
    PythonError error = PythonError::fetch();
    fail_internal("could not append __name__ to __all__: " + describe_error(error));
}

Object all_list(Handle module) {
    PyObject *all = PyObject_GetAttrString(module.ptr(), "__all__");
    if (all != nullptr)
        return Object::steal(all);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        raise_pending();
    PyErr_Clear();
    Object list = check(PyList_New(0));
    if (PyObject_SetAttrString(module.ptr(), "__all__", list.ptr()) < 0)
        raise_pending();
    return list;
}

void add_function(Handle module, PyMethodDef &definition) {
    const char *module_name = PyModule_GetName(module.ptr());
    if (module_name == nullptr)
        raise_pending();
    Object module_name_str = check(PyUnicode_FromString(module_name));
    Object function = check(PyCMethod_New(&definition, module.ptr(),
                                          module_name_str.ptr(), nullptr));
    Object name = check(PyObject_GetAttrString(function.ptr(), "__name__"));
    const std::string text = to_utf8(name);

    Object all = all_list(module);
    Object entry_name = check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    if (PyList_Append(all.ptr(), entry_name.ptr()) < 0)
        fail_append_to_all();
    if (PyObject_SetAttr(module.ptr(), entry_name.ptr(), function.ptr()) < 0)
        raise_pending();
}

Object initialise_module() {
    Object module = check(PyModule_Create2(&module_definition, 1013));
    if (initialised.exchange(true))
        throw PythonError(PyExc_ImportError,
                          "ondulix may be initialised only once per interpreter process");
    for (PyMethodDef &definition : functions)
        add_function(module, definition);
    return module;
}

} // namespace
} // namespace ondulix

PyMODINIT_FUNC PyInit_ondulix() {
    return ondulix::run_entry(ondulix::initialise_module);
}
