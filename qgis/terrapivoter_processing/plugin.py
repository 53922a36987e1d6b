"""Registers the provider with QGIS's Processing framework while the plugin is loaded."""

from qgis.core import QgsApplication

from .provider import TerrapivoterProvider


class TerrapivoterPlugin:
    def __init__(self):
        self.provider = None

    def initProcessing(self):  # noqa: N802 (QGIS's name)
        self.provider = TerrapivoterProvider()
        QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):  # noqa: N802
        self.initProcessing()

    def unload(self):
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)
            self.provider = None
