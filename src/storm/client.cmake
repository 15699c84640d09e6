# The generated SOAP client (see storm_client.h).
