"""Rotate DEM (terrapivoter:rotate): the terrapivoter command line's job, run in QGIS's process
through the terrapivoter Python package, with Processing's progress bar and Cancel button."""

import threading

from qgis.core import (QgsProcessing, QgsProcessingAlgorithm, QgsProcessingException,
                       QgsProcessingParameterBand, QgsProcessingParameterEnum,
                       QgsProcessingParameterNumber, QgsProcessingParameterPoint,
                       QgsProcessingParameterRasterDestination,
                       QgsProcessingParameterRasterLayer, QgsProcessingParameterString)

# The parameters that take one of the command line's words: the option and its words, in the
# order the algorithm's dialog lists them (the first is the command line's default).
CHOICES = {
    "EXTENT": ("--extent", ["input", "full"]),
    "RESAMPLING": ("--resampling", ["forward", "nearest", "bilinear", "cubic"]),
    "GEOREF": ("--georef", ["keep", "rotated"]),
}
# Every parameter and the command line option it becomes (the output is the command line's
# OUTPUT, the input its INPUT).
OPTIONS = {
    "BANDS": "--band",
    "ANGLE": "--angle",
    "PIVOT": "--pivot-xy",
    "BACKGROUND": "--background",
    **{name: option for name, (option, _) in CHOICES.items()},
}


def _keyword(name):
    """The terrapivoter.rotate_file keyword of parameter `name`: its option's word."""
    return OPTIONS[name][2:].replace("-", "_")


# How often the run is looked at for progress and for a cancellation, in seconds.
POLL = 0.05


def _terrapivoter():
    try:
        import terrapivoter
    except ImportError as e:
        raise QgsProcessingException(
            "the terrapivoter Python package is missing (install the terrapivoter Debian "
            f"package): {e}") from e
    return terrapivoter


class RotateAlgorithm(QgsProcessingAlgorithm):
    def name(self):
        return "rotate"

    def displayName(self):  # noqa: N802 (QGIS's names)
        return "Rotate DEM"

    def group(self):
        return "Terrain"

    def groupId(self):  # noqa: N802
        return "terrain"

    def shortHelpString(self):  # noqa: N802
        return ("Turns a raster (a digital elevation model) about a reference point by an "
                "angle in degrees, anticlockwise when positive. Forward placement moves every "
                "cell to the output cell nearest to its turned position and fills the holes "
                "left; nearest, bilinear and cubic take each output cell back into the input "
                "and interpolate. Pivot: a point in the layer's coordinate system (by default "
                "the middle of its extent). Extent: the input's, or grown until no cell is "
                "lost. Background: what the cells nothing reaches receive: min (the smallest "
                "value), nodata, or a value (by default the no-data value when the layer has "
                "one, otherwise min). Georeference: the input's frame, or rotated so that each "
                "cell lies over the ground it came from. The values are those of the "
                "terrapivoter command line, bit for bit.")

    def createInstance(self):  # noqa: N802
        return RotateAlgorithm()

    def initAlgorithm(self, config=None):  # noqa: N802
        self.addParameter(QgsProcessingParameterRasterLayer("INPUT", "Input DEM"))
        self.addParameter(QgsProcessingParameterBand(
            "BANDS", "Bands (every band when none is chosen)", parentLayerParameterName="INPUT",
            optional=True, allowMultiple=True))
        self.addParameter(QgsProcessingParameterNumber(
            "ANGLE", "Angle (degrees, anticlockwise when positive)",
            QgsProcessingParameterNumber.Double, defaultValue=0.0, minValue=-180.999999,
            maxValue=180.999999))
        self.addParameter(QgsProcessingParameterPoint(
            "PIVOT", "Reference point (the middle of the extent when not given)", optional=True))
        labels = {"EXTENT": "Extent", "RESAMPLING": "Resampling", "GEOREF": "Georeference"}
        for name, (_, words) in CHOICES.items():
            self.addParameter(QgsProcessingParameterEnum(name, labels[name], options=words,
                                                         defaultValue=0))
        self.addParameter(QgsProcessingParameterString(
            "BACKGROUND", "Background (min, nodata or a value; empty: the default)",
            defaultValue="", optional=True))
        self.addParameter(QgsProcessingParameterRasterDestination("OUTPUT", "Rotated DEM"))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        terrapivoter = _terrapivoter()
        layer = self.parameterAsRasterLayer(parameters, "INPUT", context)
        if layer is None:
            raise QgsProcessingException("INPUT: no raster layer")
        output = self.parameterAsOutputLayer(parameters, "OUTPUT", context)
        options = {"quiet": True}
        for name, (_, words) in CHOICES.items():
            options[_keyword(name)] = words[self.parameterAsEnum(parameters, name, context)]
        bands = self.parameterAsInts(parameters, "BANDS", context)
        if bands:
            options[_keyword("BANDS")] = [int(b) for b in bands]
        if parameters.get("PIVOT"):
            point = self.parameterAsPoint(parameters, "PIVOT", context, layer.crs())
            options[_keyword("PIVOT")] = (point.x(), point.y())
        background = (self.parameterAsString(parameters, "BACKGROUND", context) or "").strip()
        if background:
            options[_keyword("BACKGROUND")] = background
        angle = self.parameterAsDouble(parameters, "ANGLE", context)

        # The job runs on a thread of its own (it lets go of Python's lock) while this one
        # shows its progress and passes on a cancellation, which stops it within a step's
        # count: it then leaves no output.
        watch = terrapivoter.Watch()
        failure = []

        def run():
            try:
                terrapivoter.rotate_file(layer.source(), output, angle, watch=watch, **options)
            except Exception as e:  # noqa: BLE001 (handed to the calling thread)
                failure.append(e)

        worker = threading.Thread(target=run, name="terrapivoter")
        worker.start()
        while worker.is_alive():
            worker.join(POLL)
            if feedback.isCanceled():
                watch.cancel()
            feedback.setProgress(100.0 * watch.step_fraction)
        if failure:
            if isinstance(failure[0], terrapivoter.Cancelled):
                feedback.reportError("cancelled: nothing was written")
                return {}
            raise QgsProcessingException(f"terrapivoter: {failure[0]}")
        return {"OUTPUT": output}
