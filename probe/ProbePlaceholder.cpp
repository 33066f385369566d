// Replaced by the probe sources.
