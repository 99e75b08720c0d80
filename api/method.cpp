namespace qor {}
