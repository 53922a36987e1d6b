"""QGIS plugin: the terrapivoter Processing provider (Rotate DEM)."""


def classFactory(iface):  # noqa: N802 (QGIS's name)
    from .plugin import TerrapivoterPlugin
    return TerrapivoterPlugin()
