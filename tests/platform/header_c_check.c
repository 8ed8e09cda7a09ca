/* The public header must compile as plain C: types, handles and result constants. */
#include <orvelsdk/orvelsdk.h>

int orvel_header_c_check(void);
int orvel_header_c_check(void) {
    HRESULT hr = E_OV_TARGET_EXISTS;
    ORVEL_FILELIST files = NULL;
    ORVEL_PROGRESS progress = NULL;
    BSTR text = NULL;
    (void)files, (void)progress, (void)text;
    return hr < 0 && S_OK == 0 && E_FAIL == (HRESULT)0x80004005 && E_OV_NETWORK_ERROR == (HRESULT)0x80044005;
}
