// Keeps okulon_core buildable while no unit has added a source yet.
