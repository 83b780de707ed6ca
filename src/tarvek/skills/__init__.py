"""Skills layer of tarvek: release packaging and discovery of skills."""
