// Detector behaviour: lands with the detector module.
