// ft232r_testbed: the emulated FT232R boards of tests/ft232r for the Python tests, which run under
// umockdev-wrapper. The emulator answers from umockdev's worker thread in this process, beside the
// libusb of kelvorn._kelvorn, and of any child process started meanwhile.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "EmulatedFt232r.h"
#include "d2xx/LibftdiDriver.h"
#include "device/Board.h"

namespace py = pybind11;
using ft232r::EmulatedFt232r;
using ft232r::Testbed;

PYBIND11_MODULE(ft232r_testbed, m) {
    m.def("preload_active", &Testbed::PreloadActive);
    // Where the testbed set up /sys and /dev, for the environment of the child processes that
    // should see it (os.environ does not see what C's setenv changed).
    m.def("umockdev_dir", [] {
        const char* dir = std::getenv("UMOCKDEV_DIR");
        return std::string(dir ? dir : "");
    });
    m.attr("READ_PINS") = ft232r::request::ReadPins;
    m.attr("SET_BIT_MODE") = ft232r::request::SetBitMode;

    // The yardstick of bench/python_figures.py: the pin reads a second that C++ makes on the one
    // emulated board, through libftdi as the module does, with nothing between them.
    m.def(
        "cpp_read_rate",
        [](double Seconds) {
            d2xx::LibftdiDriver driver;
            kelvorn::Board board(driver, "cpp_read_rate");
            std::ostringstream err;
            if (board.Open("", err) != kelvorn::Board::Opened::Yes)
                throw std::runtime_error(err.str());
            using Clock = std::chrono::steady_clock;
            const auto start = Clock::now();
            long reads = 0;
            std::chrono::duration<double> spent{};
            while ((spent = Clock::now() - start).count() < Seconds) {
                board.Device().Inputs();
                ++reads;
            }
            return static_cast<double>(reads) / spent.count();
        },
        py::arg("seconds"), py::call_guard<py::gil_scoped_release>());

    py::class_<EmulatedFt232r>(m, "Board")
        .def("set_inputs", &EmulatedFt232r::SetInputs, py::arg("levels"))
        .def_property_readonly("latch", &EmulatedFt232r::Latch)
        .def_property_readonly("pins", &EmulatedFt232r::Pins)
        .def("bulk_out_bytes",
             [](const EmulatedFt232r& B) {
                 const auto bytes = B.BulkOutBytes();
                 return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             })
        .def("control_count", &EmulatedFt232r::ControlCount, py::arg("request"))
        .def("clear_log", &EmulatedFt232r::ClearLog)
        .def("set_busy", &EmulatedFt232r::SetBusy, py::arg("busy"))
        .def("set_answering", &EmulatedFt232r::SetAnswering, py::arg("answering"))
        .def("unplug", &EmulatedFt232r::Unplug)
        .def("replug", &EmulatedFt232r::Replug)
        .def_property_readonly("claimed", &EmulatedFt232r::Claimed)
        .def_property_readonly("kernel_driver_bound", &EmulatedFt232r::KernelDriverBound)
        .def_property_readonly("open_files", &EmulatedFt232r::OpenFiles)
        .def_property_readonly("sys_path", &EmulatedFt232r::SysPath);

    py::class_<Testbed>(m, "Testbed")
        .def(py::init([] {
            if (!Testbed::PreloadActive())
                throw std::runtime_error("not running under umockdev-wrapper");
            return new Testbed();
        }))
        .def(
            "add",
            [](Testbed& T, const std::string& Serial, const std::string& Description,
               bool KernelDriverBound) -> EmulatedFt232r& {
                ft232r::BoardConfig config;
                config.Serial = Serial;
                config.Description = Description;
                config.KernelDriverBound = KernelDriverBound;
                return T.Add(config);
            },
            py::arg("serial") = "KV000001", py::arg("description") = "Kelvorn",
            py::arg("kernel_driver_bound") = true, py::return_value_policy::reference_internal)
        .def("wait_until_all_closed", &Testbed::WaitUntilAllClosed, py::arg("timeout_ms"),
             py::call_guard<py::gil_scoped_release>());
}
