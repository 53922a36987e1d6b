#include "job/target.h"

#include <optional>

#include "base/stage_log.h"
#include "formats/raster_descriptor.h"

namespace terrapivoter {

Target prepare_target(GridForm form, const FileName& name) {
    Target target;
    target.form = form;
    target.name = name;
    switch (form) {
        case GridForm::raster_pair:
            target.descriptor = std::make_unique<OutputFile>(name + kRasterDescriptorSuffix, true);
            target.data = std::make_unique<OutputFile>(name + kRasterDataSuffix, false);
            break;
        case GridForm::ascii_grid:
            target.data = std::make_unique<OutputFile>(name, true);
            break;
        case GridForm::gdal:
            target.folder = std::make_unique<OutputFolder>(name);
            break;
        case GridForm::memory:
            break;
    }
    return target;
}

const std::string& Target::displayed() const {
    return folder ? folder->displayed() : data ? data->displayed() : name.shown;
}

void Target::InMemory::make(int32_t rows, int32_t cols) {
    if (cells && nb_lig == rows && nb_col == cols) return;
    cells = CellBlock(rows, cols);
    nb_lig = rows;
    nb_col = cols;
}

DoubleGrid in_memory_grid(Target& target, int32_t nb_lig, int32_t nb_col,
                          std::vector<double*>& rows) {
    Target::InMemory& m = target.memory;
    m.make(nb_lig, nb_col);
    rows.resize(static_cast<std::size_t>(nb_lig));
    for (int32_t i = 0; i < nb_lig; ++i)
        rows[static_cast<std::size_t>(i)] =
            m.cells.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(nb_col);
    return {rows.data(), nb_lig, nb_col};
}

void commit(Target& target, const Work& work) {
    if (target.form == GridForm::memory) return;
    std::optional<StageTimer> stage(std::in_place, work, "sync");
    if (target.folder) {
        if (target.gdal_writer) target.gdal_writer->finish();
        target.gdal_writer.reset();
        stage.emplace(work, "rename");
        target.folder->commit();
        return;
    }
    std::vector<OutputFile*> files = {target.data.get()};
    if (target.descriptor) files.push_back(target.descriptor.get());
    for (const auto& file : target.companions)
        files.push_back(file.get());
    for (OutputFile* file : files)
        file->finish();
    stage.emplace(work, "rename");
    OutputFile::commit_together(files);
}

}  // namespace terrapivoter
