"""The Processing provider "terrapivoter"."""

from qgis.core import QgsProcessingProvider

from .rotate_algorithm import RotateAlgorithm


class TerrapivoterProvider(QgsProcessingProvider):
    def id(self):
        return "terrapivoter"

    def name(self):
        return "terrapivoter"

    def longName(self):  # noqa: N802 (QGIS's name)
        return "terrapivoter: exact rotation of DEMs"

    def loadAlgorithms(self):  # noqa: N802
        self.addAlgorithm(RotateAlgorithm())
