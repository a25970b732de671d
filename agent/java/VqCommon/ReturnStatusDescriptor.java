package VqCommon;

/**
 * The agent's result record of a verb request: a status code and a message.
 * The native library passes the connector's message through
 * {@link #setErrorString(String)}; the status code is the native method's result.
 * Thread-safe.
 */
public class ReturnStatusDescriptor {
    private volatile int status;
    private volatile String errorString;

    public ReturnStatusDescriptor() {}

    public ReturnStatusDescriptor(int status, String errorString) {
        this.status = status;
        this.errorString = errorString;
    }

    public void setErrorString(String errorString) { this.errorString = errorString; }

    public String getErrorString() { return errorString; }

    public int getStatus() { return status; }

    public void setStatus(int status) { this.status = status; }

    @Override
    public String toString() { return "ReturnStatusDescriptor[" + status + ", " + errorString + "]"; }
}
