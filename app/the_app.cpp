#include "app/gateway_app.h"

CGatewayApp theApp;
