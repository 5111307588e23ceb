// Replaced by the port layer.
