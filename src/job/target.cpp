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
    }
    return target;
}

const std::string& Target::displayed() const {
    return folder ? folder->displayed() : data->displayed();
}

void commit(Target& target, const Work& work) {
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
