"""Draws the QGIS tool's dialog into docs/qgis-dialog.png (run under xvfb-run, with the
terrapivoter Python package importable):

    PYTHONPATH=build/release/python xvfb-run -a python3 docs/render_qgis_dialog.py
"""

import os
import sys

from qgis.core import QgsApplication

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "qgis"))
sys.path.append("/usr/share/qgis/python/plugins")

QgsApplication.setPrefixPath("/usr", True)
app = QgsApplication([], True)
app.initQgis()

from processing.core.Processing import Processing  # noqa: E402
from processing.gui.AlgorithmDialog import AlgorithmDialog  # noqa: E402
from qgis.PyQt.QtCore import QTimer  # noqa: E402
from qgis.core import QgsProject, QgsRasterLayer  # noqa: E402

from terrapivoter_processing.provider import TerrapivoterProvider  # noqa: E402

Processing.initialize()
# Held: the registry does not keep a Python provider alive.
PROVIDER = TerrapivoterProvider()
QgsApplication.processingRegistry().addProvider(PROVIDER)
layer = QgsRasterLayer(os.path.join(ROOT, "samples", "lux_elev.tif"), "lux_elev")
QgsProject.instance().addMapLayer(layer)
algorithm = QgsApplication.processingRegistry().createAlgorithmById("terrapivoter:rotate")
dialog = AlgorithmDialog(algorithm.create(), False, None)
dialog.resize(900, 640)
dialog.show()


def grab():
    dialog.grab().save(os.path.join(ROOT, "docs", "qgis-dialog.png"))
    app.exit(0)


QTimer.singleShot(1500, grab)
app.exec_()
