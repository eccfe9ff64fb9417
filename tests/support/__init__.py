"""What the tests share: the command finder (command), the image model (image), the model of
loads (model), the refusal helper (refusals), the case tables several tests run (cases) and the
helpers of the file replacement tests (files)."""
