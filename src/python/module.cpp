// The Python package's native half: the job on numpy arrays, whole or a band at a time, and the
// command line's job on files, each read from the command line's own words (the package turns
// its keywords into them) so that every value is checked, and every message worded, once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "base/failure.h"
#include "job/grid_job.h"
#include "job/job.h"
#include "rotation/hole_filling.h"

namespace py = pybind11;
using namespace terrapivoter;

namespace {

using Cells = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The job that the package's words describe, on a grid rather than on files.
JobOptions options_of(const std::vector<std::string>& words) {
    std::vector<std::string> args = words;
    args.insert(args.end(), {"grid", "grid"});
    return job_of_arguments(args).options;
}

// Row pointers into a C-contiguous 2-D array, which they neither own nor copy.
template <int Flags>
DoubleGrid grid_of(const py::array_t<double, Flags>& cells, std::vector<double*>& rows) {
    if (cells.ndim() != 2) throw UsageError("the grid must have two dimensions");
    const auto nb_lig = static_cast<int32_t>(cells.shape(0));
    const auto nb_col = static_cast<int32_t>(cells.shape(1));
    if (cells.shape(0) != nb_lig || cells.shape(1) != nb_col) {
        throw UsageError("the grid has more than 2147483647 rows or columns");
    }
    rows.resize(static_cast<std::size_t>(nb_lig));
    // The sweeps only read an input's cells; finish() writes the band it is given.
    auto* data = const_cast<double*>(cells.data());
    for (int32_t i = 0; i < nb_lig; ++i)
        rows[static_cast<std::size_t>(i)] = data + static_cast<std::ptrdiff_t>(i) * nb_col;
    return {rows.data(), nb_lig, nb_col};
}

// The turned cells as an array that owns them.
py::array_t<double> array_of(TurnedGrid& turned) {
    auto* block = new CellBlock(std::move(turned.cells));
    py::capsule owner(block, [](void* p) { delete static_cast<CellBlock*>(p); });
    double* cells = block->data();
    return py::array_t<double>(
        {static_cast<py::ssize_t>(turned.nb_lig), static_cast<py::ssize_t>(turned.nb_col)}, cells,
        owner);
}

py::tuple box_tuple(const CellBox& b) {
    return py::make_tuple(b.first_row, b.end_row, b.first_col, b.end_col);
}

CellBox box_of(const py::tuple& t) {
    return {t[0].cast<int64_t>(), t[1].cast<int64_t>(), t[2].cast<int64_t>(), t[3].cast<int64_t>()};
}

}  // namespace

PYBIND11_MODULE(_terrapivoter, m) {
    m.doc() = "terrapivoter's native code; use the terrapivoter package";
    static py::exception<Cancelled> cancelled(m, "Cancelled", PyExc_RuntimeError);
    // pybind11 fixes the translator's signature.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const UsageError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const Cancelled& e) {
            cancelled(e.what());
        } catch (const MissingInputFile& e) {
            PyErr_SetString(PyExc_FileNotFoundError, e.what());
        } catch (const Failure& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });
    m.attr("version") = TERRAPIVOTER_VERSION;
    m.attr("no_background") = kNoBackground;

    m.def(
        "turn",
        [](const Cells& values, const std::vector<std::string>& words) {
            const JobOptions options = options_of(words);
            std::vector<double*> rows;
            const DoubleGrid grid = grid_of(values, rows);
            TurnedGrid turned;
            {
                py::gil_scoped_release free;
                turned = turn_grid(grid, options);
            }
            return py::make_tuple(array_of(turned), turned.input_row, turned.input_col);
        },
        "The grid turned as the words describe: (cells, input row, input column).");

    m.def(
        "frame",
        [](int32_t nb_lig, int32_t nb_col, const std::vector<std::string>& words) {
            const JobOptions options = options_of(words);
            TurnedGrid turned;
            {
                py::gil_scoped_release free;
                turned = turned_frame(nb_lig, nb_col, options);
            }
            return py::make_tuple(py::make_tuple(turned.nb_lig, turned.nb_col),
                                  py::make_tuple(turned.input_row, turned.input_col));
        },
        "Where the turned grid of a grid of that shape lies: ((rows, columns), (row, column)).");

    py::class_<JobWatch>(m, "Watch", "A running job's progress, and a way to stop it.")
        .def(py::init<>())
        .def(
            "cancel", [](JobWatch& w) { w.cancel = true; },
            "Asks the job to stop: it raises Cancelled, leaving no output.")
        .def_property_readonly(
            "step", [](const JobWatch& w) { return w.step.load(); }, "Steps begun so far.")
        .def_property_readonly(
            "step_fraction", [](const JobWatch& w) { return w.step_permille.load() / 1000.0; },
            "How far the latest step has got, from 0 to 1.");

    m.def(
        "run",
        [](const std::vector<std::string>& args, JobWatch* watch) {
            const Job job = job_of_arguments(args);
            py::gil_scoped_release free;
            run_job(job, nullptr, watch);
        },
        py::arg("args"), py::arg("watch") = nullptr,
        "Runs the command line's job on files, as the arguments describe it.");

    py::class_<GridTurnPlan>(m, "Plan", "The job on a grid a band of output rows at a time.")
        .def(py::init([](int32_t nb_lig, int32_t nb_col, const std::vector<std::string>& words) {
            return GridTurnPlan(nb_lig, nb_col, options_of(words));
        }))
        .def_property_readonly(
            "swept_shape",
            [](const GridTurnPlan& p) { return py::make_tuple(p.swept_rows(), p.swept_cols()); })
        .def(
            "window",
            [](const GridTurnPlan& p, int32_t first, int32_t end) {
                const InputWindow w = p.window(first, end);
                py::array_t<int64_t> columns(
                    {static_cast<py::ssize_t>(w.columns.size()), py::ssize_t{2}});
                auto c = columns.mutable_unchecked<2>();
                for (std::size_t k = 0; k < w.columns.size(); ++k) {
                    const auto i = static_cast<py::ssize_t>(k);
                    c(i, 0) = w.columns[k].first;
                    c(i, 1) = w.columns[k].end;
                }
                return py::make_tuple(w.rows.first, columns);
            },
            "The input rows band [first, end) reads, from the first: (first row, [[first "
            "column, end column], ...]).")
        .def("sweep",
             [](const GridTurnPlan& p, const std::vector<py::tuple>& given, int32_t first,
                int32_t end) {
                 // (first row, first column, cells) each.
                 std::vector<Cells> arrays;
                 std::vector<std::vector<double*>> rows(given.size());
                 std::vector<GridTurnPlan::Piece> pieces;
                 for (std::size_t k = 0; k < given.size(); ++k) {
                     arrays.push_back(given[k][2].cast<Cells>());
                     const DoubleGrid cells = grid_of(arrays.back(), rows[k]);
                     const auto row = given[k][0].cast<int64_t>();
                     const auto col = given[k][1].cast<int64_t>();
                     pieces.push_back({{row, row + cells.nb_lig, col, col + cells.nb_col}, cells});
                 }
                 double smallest = kNoBackground;
                 CellBox kept = p.first_kept();
                 TurnedGrid band;
                 {
                     py::gil_scoped_release free;
                     band = p.sweep(pieces, first, end, smallest, kept);
                 }
                 return py::make_tuple(array_of(band), smallest, box_tuple(kept));
             })
        .def("background", &GridTurnPlan::background)
        .def("finish",
             [](const GridTurnPlan& p, const py::array_t<double, py::array::c_style>& band,
                double background) {
                 std::vector<double*> rows;
                 const DoubleGrid grid = grid_of(band, rows);
                 py::gil_scoped_release free;
                 p.finish(grid, background);
             })
        .def("output_geotransform", &GridTurnPlan::output_geotransform)
        .def("first_kept", [](const GridTurnPlan& p) { return box_tuple(p.first_kept()); })
        .def("input_corner", [](const GridTurnPlan& p, const py::tuple& kept) {
            const auto [row, col] = p.input_corner(box_of(kept));
            return py::make_tuple(row, col);
        });
}
