// kelvorn._kelvorn: the drivers and the open board for the Python package kelvorn, which holds
// what is shaped for Python (errors, sharing, context managers). Serials cross as bytes, the
// EEPROM's 8-bit text; the package decodes them. Every call that waits or reaches the driver runs
// without the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "Core.h"

namespace py = pybind11;

namespace {

unsigned long mainThread = 0;  // Python's main thread, the one that handles signals

// Ctrl-C (any signal with a Python handler) ends a wait within one poll. Only Python's main thread
// runs signal handlers, so the others wait without taking the GIL back.
kpy::Interrupted SignalCheck() {
    if (PyThread_get_thread_ident() != mainThread) return [] { return false; };
    return [] {
        const py::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0;
    };
}

py::bytes Bytes(const std::string& S) { return py::bytes(S); }

py::list BytesList(const std::vector<std::string>& Strings) {
    py::list list;
    for (const std::string& s : Strings) list.append(Bytes(s));
    return list;
}

}  // namespace

PYBIND11_MODULE(_kelvorn, m) {
    m.doc() = "The Kelvorn board's drivers and open board, below the package kelvorn.";
    m.attr("__version__") = KELVORN_VERSION;
    mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    py::register_exception<kpy::Disconnected>(m, "Disconnected", PyExc_OSError);
    py::register_exception<kpy::NotAllowed>(m, "NotAllowed", PyExc_OSError);
    py::register_exception_translator([](std::exception_ptr P) {
        try {
            if (P) std::rethrow_exception(P);
        } catch (const kpy::Closed& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const kpy::DriverClosed& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    py::class_<kpy::LockedDriver, std::shared_ptr<kpy::LockedDriver>>(m, "Driver")
        .def_property_readonly("shared", &kpy::LockedDriver::Shared)
        .def(
            "absent",
            [](const kpy::LockedDriver& D, const std::string& Serial) {
                std::string why;
                {
                    const py::gil_scoped_release free;
                    why = D.Absent(Serial);
                }
                return Bytes(why);
            },
            py::arg("serial"),
            "Why the board with that serial (b'': any board) is not found; b'' when nothing more "
            "is known.");
    m.def("usb_driver", &kpy::UsbDriver, "The libftdi driver for the boards on this machine's USB.");

    py::class_<kpy::Simulator>(m, "SimDriver")
        .def(py::init<>())
        .def_property_readonly("driver", &kpy::Simulator::Driver)
        .def("add", &kpy::Simulator::Add, py::arg("serial"), py::arg("wired"))
        .def("set_input", &kpy::Simulator::SetInput, py::arg("serial"), py::arg("index"),
             py::arg("high"))
        .def("unplug", &kpy::Simulator::Unplug, py::arg("serial"))
        .def("plug", &kpy::Simulator::Plug, py::arg("serial"))
        .def("hold", &kpy::Simulator::Hold, py::arg("serial"), py::arg("held"));

    py::class_<kpy::Bridge>(m, "MqttDriver")
        .def(py::init<const std::string&, const std::string&, const std::string&>(),
             py::arg("url"), py::arg("password_file"), py::arg("cafile"))
        .def_property_readonly("driver", &kpy::Bridge::Driver)
        .def("start", &kpy::Bridge::Start, py::call_guard<py::gil_scoped_release>())
        .def(
            "bridge_of",
            [](kpy::Bridge& B, const std::string& Serial) -> py::object {
                std::optional<std::string> name;
                {
                    const py::gil_scoped_release free;
                    name = B.BridgeOf(Serial);
                }
                return name ? py::object(Bytes(*name)) : py::none();
            },
            py::arg("serial"))
        .def("unreachable",
             [](kpy::Bridge& B) {
                 std::string why;
                 {
                     const py::gil_scoped_release free;
                     why = B.Unreachable();
                 }
                 return Bytes(why);
             })
        .def("close", &kpy::Bridge::Close, py::call_guard<py::gil_scoped_release>());

    m.def(
        "scan",
        [](kpy::LockedDriver& Driver) {
            std::vector<std::string> serials;
            {
                const py::gil_scoped_release free;
                serials = kpy::Scan(Driver);
            }
            return BytesList(serials);
        },
        py::arg("driver"));

    m.def(
        "open",
        [](std::shared_ptr<kpy::LockedDriver> Driver, const std::string& Serial) {
            kpy::OpenBoard::Opened opened;
            {
                const py::gil_scoped_release free;
                opened = kpy::OpenBoard::Open(std::move(Driver), Serial);
            }
            py::object board = opened.Board ? py::cast(std::move(opened.Board)) : py::none();
            return py::make_tuple(board, opened.Status, opened.Ambiguous, opened.Lines,
                                  BytesList(opened.Found), opened.PassedOver);
        },
        py::arg("driver"), py::arg("serial"),
        "(board or None, status, ambiguous, lines, serials found, devices passed over)");

    using kpy::OpenBoard;
    const auto free = py::call_guard<py::gil_scoped_release>();
    py::class_<OpenBoard>(m, "Board")
        .def_property_readonly("serial", [](const OpenBoard& B) { return Bytes(B.Serial()); })
        .def("read", &OpenBoard::Read, free)
        .def("outputs", &OpenBoard::Outputs, free)
        .def("set_output", &OpenBoard::SetOutput, py::arg("index"), py::arg("on"), free)
        .def("set_outputs", &OpenBoard::SetOutputs, py::arg("on"), free)
        .def("toggle", &OpenBoard::Toggle, py::arg("index"), free)
        .def("alive", &OpenBoard::Alive, free)
        .def(
            "pulse",
            [](OpenBoard& B, int Index, double Seconds) {
                const kpy::Interrupted stop = SignalCheck();
                bool whole;
                {
                    const py::gil_scoped_release unlocked;
                    whole = B.Pulse(Index, Seconds, stop);
                }
                if (!whole) throw py::error_already_set();
            },
            py::arg("index"), py::arg("seconds"))
        .def(
            "wait_for",
            [](OpenBoard& B, int Index, bool High, double Timeout) {
                const kpy::Interrupted stop = SignalCheck();
                OpenBoard::Waited how;
                {
                    const py::gil_scoped_release unlocked;
                    how = B.WaitFor(Index, High, Timeout, stop);
                }
                if (how == OpenBoard::Waited::Stopped) throw py::error_already_set();
                return how == OpenBoard::Waited::Met;
            },
            py::arg("index"), py::arg("high"), py::arg("timeout"))
        .def(
            "next_change",
            [](OpenBoard& B, std::uint8_t Last, double Timeout) -> py::object {
                const kpy::Interrupted stop = SignalCheck();
                std::optional<OpenBoard::Sample> sample;
                bool stopped = false;
                {
                    const py::gil_scoped_release unlocked;
                    sample = B.NextChange(Last, Timeout, stop, &stopped);
                }
                if (stopped) throw py::error_already_set();
                if (!sample) return py::none();
                return py::make_tuple(sample->Time, sample->Inputs);
            },
            py::arg("last"), py::arg("timeout"))
        .def("close", &OpenBoard::Close, free);
}
