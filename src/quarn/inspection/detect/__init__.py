"""Object detection back end (D-FINE through ONNX Runtime)."""
