# Tests of the SOAP client against a fake HTTPS storm service.
