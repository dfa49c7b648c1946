// Built as a libftd2xx.so that holds none of the D2XX functions: a library the vendor loader
// must find, name as incomplete and never call.
